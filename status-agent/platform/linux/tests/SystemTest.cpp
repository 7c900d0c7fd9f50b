// The Linux system layer with real files and real child processes.
#include "PrivateBus.h"
#include "StandIn.h"
#include "TemporaryFolder.h"
#include "platform/Platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

namespace vantrel::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TemporaryFolder;

const std::map<int, std::string> nullStreams = {
    {0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};

// The default main context reaps finished children: once it has turned, the
// process has left the process table.
bool reapedWithin(pid_t pid, std::chrono::milliseconds limit) {
    return test::spinUntil([&] { return !test::processState(pid).has_value(); }, limit);
}

// A relaunch stays in the agent's session; an opened application gets one of
// its own. Either way it gets exactly its arguments, null streams and no other
// descriptor, and the main loop reaps it once it ends.
TEST(LinuxSystem, LaunchesAndOpensWithNullStreamsAndNothingElseInherited) {
    TemporaryFolder folder;
    const fs::path bundle = folder.path() / "Vantrel.app";
    const fs::path program = bundle / "Contents/MacOS/Vantrel";
    fs::create_directories(program.parent_path());
    test::writeStandIn(program, folder.path() / "records", 30);

    // Descriptors that a careless launch would pass on: neither is close-on-exec.
    const int file = open(program.c_str(), O_RDONLY);
    int pipeEnds[2];
    ASSERT_GE(file, 0);
    ASSERT_EQ(pipe(pipeEnds), 0);

    auto system = createSystem();
    const std::vector<std::string> arguments = {"--background-service", "two words", "", "$HOME",
                                                "--smoke"};
    ASSERT_TRUE(system->launchProcess(program.string(), arguments));
    std::optional<bool> opened;
    system->openApplicationAsNewInstance(bundle.string(), [&](bool ok) { opened = ok; });
    close(file);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_EQ(opened, std::optional<bool>(true));

    const auto records = test::waitForLaunchRecords(folder.path() / "records", 2, 10s);
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        const bool launched = !record.arguments.empty();
        SCOPED_TRACE(launched ? "launched" : "opened");
        EXPECT_EQ(record.programPath, program.string());
        EXPECT_EQ(record.arguments, launched ? arguments : std::vector<std::string>{});
        const auto view = test::viewSleepingStandIn(record.pid, 10s);
        ASSERT_TRUE(view.has_value());
        EXPECT_EQ(view->descriptors, nullStreams);
        EXPECT_EQ(view->session == record.pid, !launched);
        ASSERT_EQ(kill(record.pid, SIGKILL), 0);
        EXPECT_TRUE(reapedWithin(record.pid, 10s)) << "a zombie is left behind";
    }

    // A bundle without the program, or with one that may not run, reports failure.
    const fs::path broken = folder.path() / "Broken.app";
    fs::create_directories(broken / "Contents/MacOS");
    test::writeFile(broken / "Contents/MacOS/Vantrel", "#!/bin/sh\n", 0644);
    for (const fs::path& path : {folder.path() / "Missing.app", broken, fs::path()}) {
        std::optional<bool> result;
        system->openApplicationAsNewInstance(path.string(), [&](bool ok) { result = ok; });
        EXPECT_EQ(result, std::optional<bool>(false)) << path;
    }
}

TEST(LinuxSystem, ExecutableCheckAndLaunchFailures) {
    TemporaryFolder folder;
    const fs::path tool = folder.path() / "tool";
    const fs::path plain = folder.path() / "plain";
    const fs::path badInterpreter = folder.path() / "bad-interpreter";
    test::writeFile(tool, "#!/bin/sh\n", 0755);
    test::writeFile(plain, "#!/bin/sh\nexit 0\n", 0644);
    test::writeFile(badInterpreter, "#!/nonexistent/shell\nexit 0\n", 0755);
    fs::create_symlink(tool, folder.path() / "link-to-tool");
    fs::create_symlink(folder.path() / "gone", folder.path() / "dangling");

    struct Case {
        fs::path path;
        bool executable;
    };
    const Case cases[] = {
        {tool, true},
        {folder.path() / "link-to-tool", true},
        // An executable file that still cannot start.
        {badInterpreter, true},
        {plain, false},
        {folder.path() / "dangling", false},
        {folder.path(), false},
        {folder.path() / "missing", false},
        {fs::path(), false},
    };
    auto system = createSystem();
    for (const auto& c : cases) {
        EXPECT_EQ(system->isExecutableFile(c.path.string()), c.executable) << c.path;
        if (!c.executable || c.path == badInterpreter) {
            EXPECT_FALSE(system->launchProcess(c.path.string(), {"--background-service"}))
                << c.path;
        }
    }
}

TEST(LinuxSystem, ApplicationSupportFollowsXdgDataHomeTheClockAndTheBundle) {
    const char* homeVariable = std::getenv("HOME");
    const std::string home = homeVariable != nullptr ? homeVariable : "";
    auto system = createSystem();
    struct Case {
        std::optional<std::string> xdg;
        std::optional<std::string> home;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/data/xdg", "/home/u", "/data/xdg"},
        {"/data/xdg/", "/home/u", "/data/xdg"},
        {"relative/xdg", "/home/u", "/home/u/.local/share"},
        {"", "/home/u", "/home/u/.local/share"},
        {std::nullopt, "/home/u/", "/home/u/.local/share"},
    };
    for (const auto& c : cases) {
        c.xdg ? setenv("XDG_DATA_HOME", c.xdg->c_str(), 1) : unsetenv("XDG_DATA_HOME");
        c.home ? setenv("HOME", c.home->c_str(), 1) : unsetenv("HOME");
        EXPECT_EQ(system->applicationSupportDirectories(), std::vector<std::string>{c.expected})
            << c.xdg.value_or("(unset)");
    }

    // Without HOME the account database names the home folder.
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(system->applicationSupportDirectories(),
              std::vector<std::string>{std::string(account->pw_dir) + "/.local/share"});
    setenv("HOME", home.c_str(), 1);

    // Recovery spaces its attempts by this clock, in seconds.
    const double wall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(system->now(), wall, 1.0);
    // This test program lies in no bundle, so its own folder stands for one.
    EXPECT_EQ(system->mainBundlePath(), fs::read_symlink("/proc/self/exe").parent_path().string());
}

} // namespace
} // namespace vantrel::platform
