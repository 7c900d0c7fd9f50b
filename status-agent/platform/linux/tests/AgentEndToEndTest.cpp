// The built agent as real processes, inside a bundle laid out like Vantrel's,
// with a stand-in Vantrel that records how it was started. Nothing answers on
// the agent's port: the test holds it bound without listening, so every probe
// is refused. No session bus can be reached, so the agent runs without a tray
// and never shows up on the desktop of whoever runs the tests.
#include "StandIn.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace vantrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class AgentEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        test::adoptOrphans();
        // Reusing the address lets the bind succeed beside connections of
        // earlier tests still in TIME_WAIT; it fails while a server listens.
        portHolder_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int reuse = 1;
        setsockopt(portHolder_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(18777);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(portHolder_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << "port 18777 is in use; these tests need it free: " << std::strerror(errno);
        test::writeStandIn(bundle_.vantrel(), records(), 40);
    }

    void TearDown() override {
        for (const auto& record : test::readLaunchRecords(records())) {
            test::endAdopted(record.pid);
        }
        close(portHolder_);
    }

    std::filesystem::path records() const { return bundle_.folder() / "records"; }
    bool lockIsFree() const { return test::lockIsFree(bundle_.lockFile()); }

    std::unique_ptr<test::Process> start(const std::vector<std::string>& arguments = {}) {
        return bundle_.start("unix:path=" + (bundle_.folder() / "no-bus").string(), arguments);
    }

    // Read from the kernel's lock table, so looking never takes the lock.
    static bool holdsLock(pid_t pid) {
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
    static bool comesToHoldTheLock(const test::Process& agent) {
        return test::waitUntil([&] { return holdsLock(agent.pid()); }, 5s);
    }

    test::AgentBundle bundle_{VANTREL_STATUS_EXECUTABLE};
    int portHolder_ = -1;
};

TEST_F(AgentEndToEnd, RelaunchesVantrelThenHoldsBackAndLeavesItNoLock) {
    bundle_.writeDesiredState("running\n");
    auto agent = start();

    // Failures at launch and five seconds later; the second one relaunches.
    auto launches = test::waitForLaunchRecords(records(), 1, 12s);
    const auto firstSeen = Clock::now();
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].programPath, bundle_.vantrel().string());
    EXPECT_EQ(launches[0].arguments, std::vector<std::string>{"--background-service"});
    const auto view = test::viewSleepingStandIn(launches[0].pid, 10s);
    ASSERT_TRUE(view.has_value());
    const std::map<int, std::string> nullStreams = {
        {0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
    EXPECT_EQ(view->descriptors, nullStreams) << "no lock or socket descriptor is inherited";

    // The next attempts come at least 15 s after the first.
    std::this_thread::sleep_until(firstSeen + 13500ms);
    EXPECT_EQ(test::readLaunchRecords(records()).size(), 1u);
    EXPECT_EQ(agent->wait(0ms), std::nullopt);

    // With Vantrel still running, the agent quits and a new one gets the lock.
    ASSERT_EQ(kill(agent->pid(), SIGTERM), 0);
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_EQ(test::processState(launches[0].pid).value_or('?'), 'S');
    EXPECT_TRUE(lockIsFree());
    auto next = start();
    EXPECT_TRUE(comesToHoldTheLock(*next));
    kill(next->pid(), SIGTERM);
    EXPECT_EQ(next->wait(5s), 0);
}

TEST_F(AgentEndToEnd, EveryWayOfEndingFreesTheLock) {
    // A smoke run quits by itself, before its second probe could relaunch anything.
    bundle_.writeDesiredState("running\n");
    const auto began = Clock::now();
    auto smoke = start({"--smoke"});
    EXPECT_EQ(smoke->wait(3s), 0);
    EXPECT_LT(Clock::now() - began, 3s);
    std::this_thread::sleep_for(300ms); // a launch just before the exit would show by now
    EXPECT_TRUE(test::readLaunchRecords(records()).empty());
    EXPECT_TRUE(lockIsFree());
    std::filesystem::remove(bundle_.runtime() / "desired-state");

    // A second agent quits at launch and leaves the first one's lock alone.
    auto first = start();
    ASSERT_TRUE(comesToHoldTheLock(*first));
    EXPECT_EQ(start()->wait(5s), 0);
    EXPECT_EQ(first->wait(0ms), std::nullopt);
    EXPECT_TRUE(holdsLock(first->pid()));
    EXPECT_FALSE(lockIsFree());

    // A killed agent's lock is free at once. (SIGTERM's orderly quit is in the
    // test above; SIGINT and SIGHUP take the same path, see ApplicationTest.)
    kill(first->pid(), SIGKILL);
    EXPECT_EQ(first->wait(5s), -SIGKILL);
    EXPECT_TRUE(lockIsFree());
}

} // namespace
} // namespace vantrel
