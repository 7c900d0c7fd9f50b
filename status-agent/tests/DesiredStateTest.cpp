// The desired-state reader on real files with real owners and permissions.
#include "FakeAgent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> readDesiredState(Agent& agent) {
    return Inspector::readDesiredState(*agent.delegate);
}

// Writes the file with the content and mode given.
std::function<void(Agent&)> file(const std::string& content, mode_t mode = 0600) {
    return [content, mode](Agent& agent) {
        fs::create_directories(agent.runtimeDirectory());
        writeFile(agent.desiredStatePath(), content, mode);
    };
}

TEST(DesiredState, ReadsOnlyAnOwnerOnlyFileHoldingOneOfTheTwoWords) {
    const std::optional<std::string> running = "running";
    const std::optional<std::string> stopped = "stopped";
    const std::optional<std::string> none;
    struct Case {
        const char* name;
        std::function<void(Agent&)> arrange;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"running and a line feed", file("running\n"), running},
        {"spaces, CR and LF around", file("  \r\nstopped \r\n"), stopped},
        {"tab, VT and FF around", file("\t\v\frunning\t\v\f"), running},
        {"long white space after", file("running" + std::string(100'000, ' ')), running},
        {"capitalised", file("Running\n"), none},
        {"both words", file("running stopped\n"), none},
        {"NUL after the word", file(std::string("running\0", 8)), none},
        {"empty", file(""), none},
        {"white space only", file(" \n\t\r\n"), none},
        {"UTF-8 byte-order mark", file("\xEF\xBB\xBFrunning\n"), none},
        {"mode 0644", file("running\n", 0644), none},
        {"mode 0610", file("running\n", 0610), none},
        {"mode 0400", file("running\n", 0400), running},
        {"mode 0000", file("running\n", 0000), geteuid() == 0 ? running : none},
        {"symbolic link to a valid file",
         [](Agent& agent) {
             fs::create_directories(agent.runtimeDirectory());
             writeFile(agent.runtimeDirectory() / "real", "running\n", 0600);
             fs::create_symlink("real", agent.desiredStatePath());
         },
         none},
        {"directory", [](Agent& agent) { fs::create_directories(agent.desiredStatePath()); }, none},
        {"no file", [](Agent& agent) { fs::create_directories(agent.runtimeDirectory()); }, none},
        {"no Application Support folder at all",
         [](Agent& agent) {
             file("running\n")(agent);
             agent.system->supportDirectories.clear();
         },
         none},
        {"only the first folder counts",
         [](Agent& agent) {
             file("running\n")(agent);
             agent.system->supportDirectories.insert(agent.system->supportDirectories.begin(),
                                                     (agent.support.path() / "other").string());
         },
         none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Agent agent;
        c.arrange(agent);
        EXPECT_EQ(readDesiredState(agent), c.expected);
    }
}

TEST(DesiredState, ReadChangesNothingAndCreatesNothing) {
    Agent agent;
    EXPECT_EQ(readDesiredState(agent), std::nullopt);
    EXPECT_FALSE(fs::exists(agent.support.path() / "Vantrel"));

    file(" running\n", 0400)(agent);
    const auto before = fs::last_write_time(agent.desiredStatePath());
    EXPECT_EQ(readDesiredState(agent), "running");
    EXPECT_EQ(readFile(agent.desiredStatePath()), " running\n");
    EXPECT_EQ(permissions(agent.desiredStatePath()), 0400u);
    EXPECT_EQ(fs::last_write_time(agent.desiredStatePath()), before);
}

TEST(DesiredState, FileOfAnotherOwnerIsRefused) {
    Agent agent;
    file("running\n")(agent);
    const uid_t other = ::getuid() == 65534 ? 0 : 65534;
    if (::chown(agent.desiredStatePath().c_str(), other, static_cast<gid_t>(-1)) != 0) {
        GTEST_SKIP() << "cannot give a file to another user here";
    }
    EXPECT_EQ(readDesiredState(agent), std::nullopt);
    // The same file given back is accepted, so only the owner made the difference.
    ASSERT_EQ(::chown(agent.desiredStatePath().c_str(), ::getuid(), static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(readDesiredState(agent), "running");
}

TEST(DesiredState, FifoIsRefusedWithoutWaitingForAWriter) {
    Agent agent;
    fs::create_directories(agent.runtimeDirectory());
    ASSERT_EQ(::mkfifo(agent.desiredStatePath().c_str(), 0600), 0);

    auto read = std::async(std::launch::async, [&] { return readDesiredState(agent); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Open the writing end so the stuck read returns and the test can fail.
        const int writer = ::open(agent.desiredStatePath().c_str(), O_WRONLY | O_NONBLOCK);
        read.wait();
        if (writer >= 0) {
            ::close(writer);
        }
        FAIL() << "reading a FIFO hung";
    }
    EXPECT_EQ(read.get(), std::nullopt);
}

} // namespace
} // namespace vantrel::test
