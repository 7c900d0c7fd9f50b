// The built agent as real processes, inside a bundle laid out like Vantrel's,
// seen through its tray item on a private bus, with a stand-in Vantrel that
// records how it was started. The test owns the agent's port: until the API
// runs, a server of its own answers every probe there with a 404.
#include "LoopbackServer.h"
#include "PrivateBus.h"
#include "StandIn.h"
#include "TemporaryFolder.h"
#include "TrayHost.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Server = test::LoopbackServer;

const std::string running = "VT \u25cf";
const std::string notRunning = "VT \u25cb";

class AgentEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        test::adoptOrphans();
        ASSERT_NO_THROW(
            server = std::make_unique<Server>(std::map<std::string, Server::Script>{}, 18777))
            << "port 18777 is in use; these tests need it free";
        // The built agent inside a bundle laid out like Vantrel's, beside the
        // stand-in, with a data folder (XDG_DATA_HOME) whose runtime folder exists.
        fs::create_directories(macOS);
        fs::copy_file(VANTREL_STATUS_EXECUTABLE, macOS / "vantrel-status");
        fs::create_directories(runtime());
        fs::permissions(runtime().parent_path(), fs::perms(0700));
        fs::permissions(runtime(), fs::perms(0700));
        test::writeStandIn(vantrel(), records(), 60);
    }

    void TearDown() override {
        host.reset();
        server.reset();
        for (const auto& record : test::readLaunchRecords(records())) {
            test::endAdopted(record.pid);
        }
    }

    void serveApi() {
        server.reset();
        server = std::make_unique<Server>(
            std::map<std::string, Server::Script>{
                {"/healthz",
                 {Server::Mode::answer, Server::response(200, R"({"service":"vantrel-local"})")}}},
            18777);
    }

    fs::path vantrel() const { return macOS / "Vantrel"; }
    fs::path records() const { return folder.path() / "records"; }
    fs::path runtime() const { return folder.path() / "data/Vantrel/runtime"; }
    fs::path lockFile() const { return runtime() / "status-menu.lock"; }
    // As Vantrel writes it: owner only.
    void writeDesiredState(const std::string& content) const {
        test::writeFile(runtime() / "desired-state", content, 0600);
    }

    std::unique_ptr<test::ChildProcess> start(const std::vector<std::string>& arguments = {},
                                              const std::string& busAddress = {}) {
        std::vector<std::string> argv = {(macOS / "vantrel-status").string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return std::make_unique<test::ChildProcess>(
            argv, std::map<std::string, std::string>{
                      {"DBUS_SESSION_BUS_ADDRESS", busAddress.empty() ? bus.address() : busAddress},
                      {"XDG_DATA_HOME", (folder.path() / "data").string()},
                      {"HOME", folder.path().string()},
                  });
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
    static bool comesToHoldTheLock(const test::ChildProcess& agent) {
        return test::waitUntil([&] { return holdsLock(agent.pid()); }, 5s);
    }

    void connectHost() {
        trayview::HostOptions options;
        options.busAddress = bus.address();
        host = trayview::TrayHost::connect(options, {});
        ASSERT_NE(host, nullptr);
        ASSERT_TRUE(
            test::spinUntil([&] { return host->item() != nullptr && host->item()->menuRead; }, 10s))
            << "the agent's item never reached the watcher";
    }

    const trayview::ItemState& item() const { return *host->item(); }

    bool stateLineReads(const std::string& title, std::chrono::milliseconds limit = 8s) {
        const bool read = test::spinUntil(
            [&] {
                return host->item() != nullptr && !item().rows.empty() &&
                       item().rows.front().title == title;
            },
            limit);
        if (!read && host->item() != nullptr && !item().rows.empty()) {
            ADD_FAILURE() << "the state line reads " << item().rows.front().title;
        }
        return read;
    }

    bool textReads(const std::string& text) {
        return test::spinUntil([&] { return host->item() != nullptr && item().text == text; }, 8s);
    }

    std::string click(const std::string& title) {
        std::optional<std::string> answer;
        host->click(title, [&](const std::string& error) { answer = error; });
        test::spinUntil([&] { return answer.has_value(); }, 5s);
        return answer.value_or("no answer");
    }

    test::PrivateBus bus;
    test::TemporaryFolder folder;
    const fs::path macOS = folder.path() / "Vantrel.app/Contents/MacOS";
    std::unique_ptr<test::LoopbackServer> server;
    std::unique_ptr<trayview::TrayHost> host;
};

TEST_F(AgentEndToEnd, FollowsTheApiThroughARelaunch) {
    auto agent = start();
    connectHost();
    EXPECT_EQ(item().busName, "org.kde.StatusNotifierItem-" + std::to_string(agent->pid()) + "-1");
    EXPECT_EQ(item().toolTipTitle, "Vantrel");

    // No healthy answer and no desired-state file.
    ASSERT_TRUE(stateLineReads("Local API: Stopped"));
    EXPECT_TRUE(textReads(notRunning)) << item().text;
    const std::string stopped = "Local API: Stopped";
    const std::vector<trayview::MenuRow> menu = {
        {1, false, stopped, stopped, false, true, {}},
        {2, true, "", "", true, true, {}},
        {3, false, "Open Vantrel", "Open Vantrel", true, true, {{"o"}}},
        {4, false, "Refresh Status", "Refresh Status", true, true, {{"r"}}},
        {5, false, "Open Settings to Stop API", "Open Settings to Stop API", true, true, {{"s"}}},
        {6, true, "", "", true, true, {}},
        {7, false, "Quit Status Menu", "Quit Status Menu", true, true, {{"q"}}},
    };
    EXPECT_EQ(item().rows, menu);

    serveApi();
    EXPECT_TRUE(stateLineReads("Local API: Running"));
    EXPECT_TRUE(textReads(running));

    // The API stops while "running" is desired: the second failed probe in a
    // row launches Vantrel in the background.
    writeDesiredState("running\n");
    server.reset();
    EXPECT_TRUE(stateLineReads("Local API: Interrupted"));
    EXPECT_TRUE(textReads(notRunning));
    EXPECT_TRUE(test::readLaunchRecords(records()).empty());
    EXPECT_TRUE(stateLineReads("Local API: Recovering\u2026", 9s));
    const auto launches = test::waitForLaunchRecords(records(), 1, 5s);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].programPath, vantrel().string());
    EXPECT_EQ(launches[0].arguments, std::vector<std::string>{"--background-service"});
    const auto view = test::viewSleepingStandIn(launches[0].pid, 10s);
    ASSERT_TRUE(view.has_value());
    const std::map<int, std::string> nullStreams = {
        {0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}};
    EXPECT_EQ(view->descriptors, nullStreams) << "no lock or socket descriptor is inherited";

    // The relaunched Vantrel serves its API.
    serveApi();
    EXPECT_TRUE(stateLineReads("Local API: Running", 9s));
    EXPECT_TRUE(textReads(running));

    // Quitting is answered before the agent goes; its item leaves the panel,
    // Vantrel stays, and its lock is free.
    EXPECT_FALSE(test::lockIsFree(lockFile()));
    EXPECT_EQ(click("Quit Status Menu"), "");
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_TRUE(test::lockIsFree(lockFile()));
    EXPECT_TRUE(test::spinUntil([&] { return host->item() == nullptr; }, 5s))
        << "the item stayed on the panel";
    EXPECT_EQ(test::processState(launches[0].pid).value_or('?'), 'S');
    EXPECT_EQ(test::readLaunchRecords(records()).size(), 1u);
}

TEST_F(AgentEndToEnd, EveryWayOfEndingFreesTheLock) {
    // A smoke run, here with no session bus to reach, quits by itself before
    // its second probe could relaunch anything.
    writeDesiredState("running\n");
    const auto began = Clock::now();
    auto smoke = start({"--smoke"}, "unix:path=" + (folder.path() / "no-bus").string());
    EXPECT_EQ(smoke->wait(3s), 0);
    EXPECT_LT(Clock::now() - began, 3s);
    std::this_thread::sleep_for(300ms); // a launch just before the exit would show by now
    EXPECT_TRUE(test::readLaunchRecords(records()).empty());
    EXPECT_TRUE(test::lockIsFree(lockFile()));
    fs::remove(runtime() / "desired-state");

    // A second agent quits at launch and leaves the first one's lock alone.
    auto agent = start();
    ASSERT_TRUE(comesToHoldTheLock(*agent));
    EXPECT_EQ(start()->wait(5s), 0);
    EXPECT_EQ(agent->wait(0ms), std::nullopt);
    EXPECT_TRUE(holdsLock(agent->pid()));

    // SIGTERM takes the orderly quit; a killed agent's lock is free at once.
    kill(agent->pid(), SIGTERM);
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_TRUE(test::lockIsFree(lockFile()));
    auto killed = start();
    ASSERT_TRUE(comesToHoldTheLock(*killed));
    kill(killed->pid(), SIGKILL);
    EXPECT_EQ(killed->wait(5s), -SIGKILL);
    EXPECT_TRUE(test::lockIsFree(lockFile()));
}

} // namespace
} // namespace vantrel
