// The built agent seen through its tray item, on a private bus, inside a bundle
// laid out like Vantrel's with the stand-in Vantrel beside it. These tests use
// the agent's fixed port 18777 and never run side by side.
#include "TrayHost.h"
#include "TraySupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string running = "VT \u25cf";
const std::string notRunning = "VT \u25cb";

struct StandInEvent {
    pid_t pid = -1;
    std::string what;
};

class TrayEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        // Stand-ins outlive the agent that started them; as their subreaper the
        // test can reap them.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        const fs::path macOS = folder.path() / "Vantrel.app/Contents/MacOS";
        fs::create_directories(macOS);
        agentPath = macOS / "vantrel-status";
        fs::copy_file(VANTREL_STATUS_EXECUTABLE, agentPath);
        standInPath = macOS / "Vantrel";
        fs::copy_file(VANTREL_STANDIN_EXECUTABLE, standInPath);
        data = folder.path() / "data";
        runtime = data / "Vantrel/runtime";
        fs::create_directories(runtime);
        fs::permissions(data / "Vantrel", fs::perms(0700));
        fs::permissions(runtime, fs::perms(0700));
    }

    void TearDown() override {
        host.reset();
        agent.reset();
        endStandIns();
    }

    // Once their agent is gone, live stand-ins are this process's children;
    // checking that first keeps a recycled pid safe from the signal.
    void endStandIns() {
        for (const auto& event : standInEvents()) {
            std::ifstream stat("/proc/" + std::to_string(event.pid) + "/stat");
            std::string pid, name, state;
            pid_t parent = -1;
            if (stat >> pid >> name >> state >> parent && parent == ::getpid()) {
                ::kill(event.pid, SIGKILL);
                ::waitpid(event.pid, nullptr, 0);
            }
        }
        fs::remove(runtime / "desired-state");
    }

    std::map<std::string, std::string> environment(const std::string& busAddress) const {
        return {{"DBUS_SESSION_BUS_ADDRESS", busAddress},
                {"XDG_DATA_HOME", data.string()},
                {"HOME", folder.path().string()}};
    }

    void startAgent(const std::string& busAddress) {
        agent = std::make_unique<test::Process>(std::vector<std::string>{agentPath.string()},
                                                environment(busAddress));
    }

    std::string itemName() const {
        return "org.kde.StatusNotifierItem-" + std::to_string(agent->pid()) + "-1";
    }

    void connectHost() {
        trayview::HostOptions options;
        options.busAddress = bus.address();
        trayview::TrayHost::Listener listener;
        // Every state line shown, however briefly: the timer may replace one at any time.
        listener.changed = [this](const trayview::ItemState& before,
                                  const trayview::ItemState& after) {
            if (!after.rows.empty() &&
                (before.rows.empty() || before.rows.front().title != after.rows.front().title)) {
                stateLines.push_back(after.rows.front().title);
            }
        };
        host = trayview::TrayHost::connect(options, listener);
        ASSERT_NE(host, nullptr);
        ASSERT_TRUE(
            test::spinUntil([&] { return host->item() != nullptr && host->item()->menuRead; }, 10s))
            << "the agent's item never reached the watcher";
    }

    const trayview::ItemState& item() const { return *host->item(); }

    bool stateLineReads(const std::string& title, std::chrono::milliseconds limit = 8s) {
        return test::spinUntil(
            [&] {
                return host->item() != nullptr && !item().rows.empty() &&
                       item().rows.front().title == title;
            },
            limit);
    }

    bool textReads(const std::string& text, std::chrono::milliseconds limit = 8s) {
        return test::spinUntil([&] { return host->item() != nullptr && item().text == text; },
                               limit);
    }

    std::string click(const std::string& title) {
        std::optional<std::string> answer;
        host->click(title, [&](const std::string& error) { answer = error; });
        test::spinUntil([&] { return answer.has_value(); }, 5s);
        return answer.value_or("no answer");
    }

    void writeDesiredState(const std::string& word) {
        const fs::path file = runtime / "desired-state";
        std::ofstream(file) << word << "\n";
        ::chmod(file.c_str(), 0600);
    }

    std::vector<StandInEvent> standInEvents() const {
        std::vector<StandInEvent> events;
        std::ifstream log(data / "Vantrel/standin.log");
        std::string line;
        while (std::getline(log, line)) {
            std::istringstream fields(line);
            double time = 0;
            StandInEvent event;
            fields >> time >> event.pid;
            std::getline(fields >> std::ws, event.what);
            events.push_back(event);
        }
        return events;
    }

    std::vector<std::string> standInStarts() const {
        std::vector<std::string> starts;
        for (const auto& event : standInEvents()) {
            if (event.what.starts_with("started ")) {
                starts.push_back(event.what);
            }
        }
        return starts;
    }

    bool lockIsFree() const {
        const int fd = ::open((runtime / "status-menu.lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return free;
    }

    test::PrivateBus bus;
    test::TemporaryFolder folder;
    fs::path agentPath;
    fs::path standInPath;
    fs::path data;
    fs::path runtime;
    std::unique_ptr<test::Process> agent;
    std::unique_ptr<trayview::TrayHost> host;
    std::vector<std::string> stateLines;
};

TEST_F(TrayEndToEnd, ItemFollowsTheApiAndRefreshProbesAtOnce) {
    // The agent starts before any panel; the panel still gets its item.
    startAgent(bus.address());
    test::BusClient observer(bus.address());
    ASSERT_TRUE(test::spinUntil(
        [&] {
            return observer
                       .call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameHasOwner", "('" + itemName() + "',)")
                       .reply == "(true,)";
        },
        10s));
    connectHost();
    EXPECT_EQ(item().busName, itemName());
    EXPECT_EQ(item().toolTipTitle, "Vantrel");

    // No server and no desired-state file.
    EXPECT_TRUE(stateLineReads("Local API: Stopped")) << item().rows.front().title;
    EXPECT_TRUE(textReads(notRunning)) << item().text;

    struct Row {
        bool separator;
        std::string title;
        bool enabled;
        std::vector<std::vector<std::string>> shortcut;
    };
    const Row rows[] = {
        {false, "Local API: Stopped", false, {}},
        {true, "", true, {}},
        {false, "Open Vantrel", true, {{"o"}}},
        {false, "Refresh Status", true, {{"r"}}},
        {false, "Open Settings to Stop API", true, {{"s"}}},
        {true, "", true, {}},
        {false, "Quit Status Menu", true, {{"q"}}},
    };
    ASSERT_EQ(item().rows.size(), std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(item().rows[i].separator, rows[i].separator);
        EXPECT_EQ(item().rows[i].title, rows[i].title);
        EXPECT_EQ(item().rows[i].enabled, rows[i].enabled);
        EXPECT_EQ(item().rows[i].shortcut, rows[i].shortcut);
    }

    // The API comes up: hosts are told through the protocol's signals.
    observer.recordSignalsFrom(itemName());
    test::HealthServer server(18777);
    ASSERT_TRUE(server.listening());
    EXPECT_TRUE(stateLineReads("Local API: Running"));
    EXPECT_TRUE(textReads(running));
    const auto toldOf = [&](const std::string& text) {
        return test::spinUntil([&] {
            const auto& told = observer.signals();
            return std::any_of(told.begin(), told.end(), [&](const auto& signal) {
                return signal.member + " " + signal.arguments == text;
            });
        });
    };
    EXPECT_TRUE(toldOf("ItemsPropertiesUpdated ([(1, {'label': <'Local API: Running'>})], [])"));
    EXPECT_TRUE(toldOf("XAyatanaNewLabel ('" + running + "', '" + running + "')"));
    EXPECT_TRUE(toldOf("NewIcon ()"));

    // Right after a timer probe the next tick is five seconds off; a click
    // probes at once.
    const auto before = server.requests().size();
    ASSERT_TRUE(test::spinUntil([&] { return server.requests().size() > before; }, 7s));
    const auto afterTick = server.requests().size();
    const auto clicked = Clock::now();
    EXPECT_EQ(click("Refresh Status"), "");
    ASSERT_TRUE(test::spinUntil([&] { return server.requests().size() > afterTick; }, 4s));
    EXPECT_LT(server.requests().back() - clicked, 2500ms);
    EXPECT_EQ(agent->wait(0ms), std::nullopt);
}

TEST_F(TrayEndToEnd, InterruptedApiIsRelaunchedInTheBackground) {
    writeDesiredState("running");
    startAgent(bus.address());
    connectHost();
    EXPECT_TRUE(stateLineReads("Local API: Interrupted")) << item().rows.front().title;
    EXPECT_TRUE(textReads(notRunning));
    EXPECT_TRUE(standInStarts().empty());

    // The second failed probe in a row launches Vantrel in the background.
    EXPECT_TRUE(stateLineReads("Local API: Recovering\u2026", 9s)) << item().rows.front().title;
    // The launched program needs a moment before it writes its first line.
    test::spinUntil([&] { return !standInStarts().empty(); });
    EXPECT_EQ(standInStarts(), std::vector<std::string>{"started [--background-service]"});
    // The stand-in serves the API, and the next probe finds it.
    EXPECT_TRUE(stateLineReads("Local API: Running", 9s)) << item().rows.front().title;
    EXPECT_TRUE(textReads(running));
}

TEST_F(TrayEndToEnd, QuitEndsTheAgentWithItsLockFree) {
    startAgent(bus.address());
    connectHost();
    ASSERT_TRUE(stateLineReads("Local API: Stopped"));
    EXPECT_FALSE(lockIsFree());
    // The click is answered before the agent goes.
    EXPECT_EQ(click("Quit Status Menu"), "");
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_TRUE(lockIsFree());
    EXPECT_TRUE(test::spinUntil([&] { return host->item() == nullptr; }, 5s))
        << "the item stayed on the panel";
    EXPECT_TRUE(standInStarts().empty());
}

TEST_F(TrayEndToEnd, OpeningVantrelStartsANewInstanceAndQuits) {
    for (const std::string title : {"Open Vantrel", "Open Settings to Stop API"}) {
        SCOPED_TRACE(title);
        const auto startsBefore = standInStarts().size();
        startAgent(bus.address());
        connectHost();
        ASSERT_TRUE(stateLineReads("Local API: Stopped"));
        EXPECT_EQ(click(title), "");
        EXPECT_EQ(agent->wait(5s), 0);
        EXPECT_TRUE(lockIsFree());
        ASSERT_TRUE(test::spinUntil([&] { return standInStarts().size() > startsBefore; }, 5s));
        EXPECT_EQ(standInStarts().back(), "started []");
        host.reset();
        agent.reset();
        endStandIns();
    }
}

TEST_F(TrayEndToEnd, VantrelThatCannotOpenIsReportedAndTheAgentStays) {
    fs::remove(standInPath);
    startAgent(bus.address());
    connectHost();
    ASSERT_TRUE(stateLineReads("Local API: Stopped"));
    EXPECT_EQ(click("Open Vantrel"), "");
    EXPECT_TRUE(test::spinUntil([&] {
        return std::find(stateLines.begin(), stateLines.end(), "Vantrel could not open") !=
               stateLines.end();
    })) << item().rows.front().title;
    EXPECT_EQ(agent->wait(1s), std::nullopt);
    // The next probe puts the API's state back.
    EXPECT_TRUE(stateLineReads("Local API: Stopped", 7s));
}

TEST_F(TrayEndToEnd, WithoutASessionBusTheAgentStillProbesAndRelaunches) {
    writeDesiredState("running");
    startAgent("unix:path=" + (folder.path() / "no-bus-here").string());
    // Two failed probes while "running" is desired: the stand-in is launched.
    const auto started = Clock::now();
    while (standInStarts().empty() && Clock::now() - started < 12s) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(standInStarts(), std::vector<std::string>{"started [--background-service]"});
    EXPECT_EQ(agent->wait(0ms), std::nullopt);
    ::kill(agent->pid(), SIGTERM);
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_TRUE(lockIsFree());
}

} // namespace
} // namespace vantrel
