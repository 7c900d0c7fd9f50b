// The built agent seen through its tray item, on a private bus, inside a bundle
// laid out like Vantrel's with the stand-in Vantrel beside it. These tests use
// the agent's fixed port 18777 and never run side by side.
#include "LoopbackServer.h"
#include "TrayHost.h"
#include "TraySupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string running = "VT \u25cf";
const std::string notRunning = "VT \u25cb";

class TrayEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
        test::adoptOrphans();
        fs::copy_file(VANTREL_STANDIN_EXECUTABLE, bundle.vantrel());
    }

    void TearDown() override {
        host.reset();
        agent.reset();
        for (const auto& [pid, what] : standInEvents()) {
            test::endAdopted(pid);
        }
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

    // What the stand-in logged: its pid and what happened.
    std::vector<std::pair<pid_t, std::string>> standInEvents() const {
        std::vector<std::pair<pid_t, std::string>> events;
        std::ifstream log(bundle.dataFolder() / "Vantrel/standin.log");
        for (std::string line; std::getline(log, line);) {
            std::istringstream fields(line);
            double time = 0;
            std::pair<pid_t, std::string> event;
            fields >> time >> event.first;
            std::getline(fields >> std::ws, event.second);
            events.push_back(event);
        }
        return events;
    }

    std::vector<std::string> standInStarts() const {
        std::vector<std::string> starts;
        for (const auto& [pid, what] : standInEvents()) {
            if (what.starts_with("started ")) {
                starts.push_back(what);
            }
        }
        return starts;
    }

    test::PrivateBus bus;
    test::AgentBundle bundle{VANTREL_STATUS_EXECUTABLE};
    std::unique_ptr<test::Process> agent;
    std::unique_ptr<trayview::TrayHost> host;
    std::vector<std::string> stateLines;
};

TEST_F(TrayEndToEnd, ItemFollowsTheApiThroughARelaunchAndLeavesWithTheAgent) {
    // The agent starts before any panel; the panel still gets its item.
    agent = bundle.start(bus.address());
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
    ASSERT_TRUE(stateLineReads("Local API: Stopped"));
    EXPECT_TRUE(textReads(notRunning)) << item().text;
    EXPECT_EQ(item().rows, test::agentMenuAsShown("Local API: Stopped"));

    // The API comes up. (Which signals tell hosts of it is in TrayItemTest.)
    auto server = std::make_unique<test::LoopbackServer>(
        std::map<std::string, test::LoopbackServer::Script>{
            {"/healthz",
             {test::LoopbackServer::Mode::answer,
              test::LoopbackServer::response(200, R"({"service":"vantrel-local"})")}}},
        18777);
    EXPECT_TRUE(stateLineReads("Local API: Running"));
    EXPECT_TRUE(textReads(running));

    // Right after a timer probe the next tick is five seconds off; a click
    // probes at once.
    const auto before = server->answers().size();
    ASSERT_TRUE(test::spinUntil([&] { return server->answers().size() > before; }, 7s));
    const auto afterTick = server->answers().size();
    const auto clicked = Clock::now();
    EXPECT_EQ(click("Refresh Status"), "");
    ASSERT_TRUE(test::spinUntil([&] { return server->answers().size() > afterTick; }, 4s));
    EXPECT_LT(server->answers().back().sent - clicked, 2500ms);

    // The API stops while "running" is desired: the second failed probe in a
    // row launches Vantrel in the background, and the probe after finds the
    // API it serves.
    bundle.writeDesiredState("running\n");
    server.reset();
    EXPECT_TRUE(stateLineReads("Local API: Interrupted"));
    EXPECT_TRUE(textReads(notRunning));
    EXPECT_TRUE(standInStarts().empty());
    EXPECT_TRUE(stateLineReads("Local API: Recovering\u2026", 9s));
    // The launched program needs a moment before it writes its first line.
    test::spinUntil([&] { return !standInStarts().empty(); });
    EXPECT_EQ(standInStarts(), std::vector<std::string>{"started [--background-service]"});
    EXPECT_TRUE(stateLineReads("Local API: Running", 9s));
    EXPECT_TRUE(textReads(running));

    // Quitting is answered before the agent goes; its item leaves the panel.
    EXPECT_FALSE(test::lockIsFree(bundle.lockFile()));
    EXPECT_EQ(click("Quit Status Menu"), "");
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_TRUE(test::lockIsFree(bundle.lockFile()));
    EXPECT_TRUE(test::spinUntil([&] { return host->item() == nullptr; }, 5s))
        << "the item stayed on the panel";
    EXPECT_EQ(standInStarts().size(), 1u);
}

TEST_F(TrayEndToEnd, OpeningVantrelStartsANewInstanceOrSaysItCannot) {
    fs::rename(bundle.vantrel(), bundle.folder() / "Vantrel.aside");
    agent = bundle.start(bus.address());
    connectHost();
    ASSERT_TRUE(stateLineReads("Local API: Stopped"));

    // With no Vantrel to open the agent says so, stays, and the next probe
    // puts the API's state back.
    EXPECT_EQ(click("Open Vantrel"), "");
    EXPECT_TRUE(test::spinUntil([&] {
        return std::find(stateLines.begin(), stateLines.end(), "Vantrel could not open") !=
               stateLines.end();
    }));
    EXPECT_EQ(agent->wait(1s), std::nullopt);
    EXPECT_TRUE(stateLineReads("Local API: Stopped", 7s));

    // Opened as a new instance, with no arguments; then the agent quits.
    fs::rename(bundle.folder() / "Vantrel.aside", bundle.vantrel());
    EXPECT_EQ(click("Open Settings to Stop API"), "");
    EXPECT_EQ(agent->wait(5s), 0);
    EXPECT_TRUE(test::lockIsFree(bundle.lockFile()));
    ASSERT_TRUE(test::spinUntil([&] { return !standInStarts().empty(); }, 5s));
    EXPECT_EQ(standInStarts(), std::vector<std::string>{"started []"});
}

} // namespace
} // namespace vantrel
