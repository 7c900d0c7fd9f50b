// The built agent as real processes, inside a bundle laid out like Vantrel's,
// with a stand-in Vantrel that records how it was started. Nothing answers on
// the agent's port: the test holds it bound without listening, so every probe
// is refused.
#include "StandIn.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned short agentPort = 18777;

class AgentEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        // Orphaned stand-ins become our children, so the test can end them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);

        // Reusing the address lets the bind succeed beside connections of
        // earlier tests still in TIME_WAIT; it fails while a server listens.
        portHolder_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        setsockopt(portHolder_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(agentPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(portHolder_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << "port 18777 is in use; these tests need it free: " << std::strerror(errno);

        const fs::path macOS = folder_.path() / "Vantrel.app/Contents/MacOS";
        fs::create_directories(macOS);
        agent_ = macOS / "vantrel-status";
        std::error_code linkError;
        fs::create_hard_link(VANTREL_STATUS_EXECUTABLE, agent_, linkError);
        if (linkError) {
            fs::copy_file(VANTREL_STATUS_EXECUTABLE, agent_);
        }
        standIn_ = macOS / "Vantrel";
        test::writeStandIn(standIn_, records(), 40);
        runtime_ = folder_.path() / "data/Vantrel/runtime";
        fs::create_directories(runtime_);
        fs::permissions(folder_.path() / "data/Vantrel", fs::perms(0700));
        fs::permissions(runtime_, fs::perms(0700));
    }

    void TearDown() override {
        for (pid_t pid : agents_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        for (const auto& record : test::readLaunchRecords(records())) {
            kill(record.pid, SIGKILL);
            for (int i = 0; i < 500 && waitpid(record.pid, nullptr, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(10ms);
            }
        }
        if (portHolder_ >= 0) {
            close(portHolder_);
        }
    }

    fs::path records() const { return folder_.path() / "records"; }
    fs::path lockFile() const { return runtime_ / "status-menu.lock"; }

    void writeDesiredState(const std::string& text) {
        const fs::path path = runtime_ / "desired-state";
        std::ofstream(path) << text;
        fs::permissions(path, fs::perms(0600));
    }

    pid_t startAgent(const std::vector<std::string>& arguments = {}) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "XDG_DATA_HOME=", 14) != 0 &&
                std::strncmp(*entry, "DBUS_SESSION_BUS_ADDRESS=", 25) != 0) {
                environment.emplace_back(*entry);
            }
        }
        environment.push_back("XDG_DATA_HOME=" + (folder_.path() / "data").string());
        // A session bus that cannot be reached: the agent runs without a tray
        // and never shows up on the desktop of whoever runs the tests.
        environment.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" +
                              (folder_.path() / "no-bus").string());
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        std::vector<std::string> argvStrings = {agent_.string()};
        argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : argvStrings) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        pid_t pid = -1;
        const int error =
            posix_spawn(&pid, agent_.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(error, 0) << std::strerror(error);
        agents_.push_back(pid);
        return pid;
    }

    // The wait status once the process has ended, or nothing if it still runs.
    std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(agents_, pid);
                return status;
            }
            if (Clock::now() >= deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(10ms);
        }
    }

    static bool exitedCleanly(const std::optional<int>& status) {
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
    }

    // Read from the kernel's lock table, so looking never takes the lock.
    static bool holdsFlock(pid_t pid) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            std::istringstream fields(line);
            std::string number, kind, mode, access, owner;
            fields >> number >> kind >> mode >> access >> owner;
            if (kind == "FLOCK" && access == "WRITE" && owner == std::to_string(pid)) {
                return true;
            }
        }
        return false;
    }

    static bool waitUntilHoldsFlock(pid_t pid, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!holdsFlock(pid)) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    // Whether another process could take the agent's lock right now.
    bool lockIsFree() const {
        const int fd = open(lockFile().c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            ADD_FAILURE() << "no lock file at " << lockFile();
            return false;
        }
        const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
        return free;
    }

    static bool isRunning(pid_t pid) {
        const auto state = test::processState(pid);
        return state && *state != 'Z';
    }

    test::TemporaryFolder folder_;
    fs::path agent_;
    fs::path standIn_;
    fs::path runtime_;
    int portHolder_ = -1;
    std::vector<pid_t> agents_;
};

TEST_F(AgentEndToEnd, RelaunchesVantrelThenHoldsBackAndLeavesItNoLock) {
    writeDesiredState("running\n");
    const pid_t agent = startAgent();

    // Failures at launch and five seconds later; the second one relaunches.
    auto launches = test::waitForLaunchRecords(records(), 1, 12s);
    const auto firstSeen = Clock::now();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].programPath, standIn_.string());
    EXPECT_EQ(launches[0].arguments, std::vector<std::string>{"--background-service"});
    const auto view = test::viewSleepingStandIn(launches[0].pid, 10s);
    ASSERT_TRUE(view.has_value());
    const std::map<int, std::string> nullStreams = {
        {0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
    EXPECT_EQ(view->descriptors, nullStreams) << "no lock or socket descriptor is inherited";

    // The next attempts come at least 15 s after the first.
    std::this_thread::sleep_until(firstSeen + 13500ms);
    EXPECT_EQ(test::readLaunchRecords(records()).size(), 1u);
    EXPECT_TRUE(isRunning(agent));

    // With Vantrel still running, the agent quits and a new one gets the lock.
    ASSERT_EQ(kill(agent, SIGTERM), 0);
    EXPECT_TRUE(exitedCleanly(waitForExit(agent, 5s)));
    EXPECT_EQ(test::processState(launches[0].pid).value_or('?'), 'S');
    EXPECT_TRUE(lockIsFree());
    const pid_t next = startAgent();
    EXPECT_TRUE(waitUntilHoldsFlock(next, 5s));
    EXPECT_TRUE(isRunning(next));
    kill(next, SIGTERM);
    EXPECT_TRUE(exitedCleanly(waitForExit(next, 5s)));
}

TEST_F(AgentEndToEnd, SmokeRunQuitsByItselfAndFreesTheLock) {
    writeDesiredState("running\n");
    const auto began = Clock::now();
    const pid_t agent = startAgent({"--smoke"});
    EXPECT_TRUE(exitedCleanly(waitForExit(agent, 3s)));
    EXPECT_LT(Clock::now() - began, 3s);
    std::this_thread::sleep_for(300ms); // a launch just before the exit would show by now
    EXPECT_TRUE(test::readLaunchRecords(records()).empty());
    EXPECT_TRUE(lockIsFree());
}

TEST_F(AgentEndToEnd, SecondAgentQuitsAtLaunchAndLeavesTheFirstLockAlone) {
    const pid_t first = startAgent();
    ASSERT_TRUE(waitUntilHoldsFlock(first, 5s));
    const pid_t second = startAgent();
    EXPECT_TRUE(exitedCleanly(waitForExit(second, 5s)));
    EXPECT_TRUE(isRunning(first));
    EXPECT_TRUE(holdsFlock(first));
    EXPECT_FALSE(lockIsFree());
    kill(first, SIGTERM);
    EXPECT_TRUE(exitedCleanly(waitForExit(first, 5s)));
}

TEST_F(AgentEndToEnd, KilledAgentsLockIsFreeAtOnce) {
    const pid_t agent = startAgent();
    ASSERT_TRUE(waitUntilHoldsFlock(agent, 5s));
    kill(agent, SIGKILL);
    const auto status = waitForExit(agent, 5s);
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    EXPECT_TRUE(lockIsFree());
}

TEST_F(AgentEndToEnd, TerminationSignalsQuitInOrder) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        const pid_t agent = startAgent();
        ASSERT_TRUE(waitUntilHoldsFlock(agent, 5s));
        kill(agent, signal);
        EXPECT_TRUE(exitedCleanly(waitForExit(agent, 5s))) << strsignal(signal);
        EXPECT_TRUE(lockIsFree()) << strsignal(signal);
    }
}

} // namespace
} // namespace vantrel
