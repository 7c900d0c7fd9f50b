// Construction, launch, the status menu, the timers and termination.
#include "FakeAgent.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace vantrel::test {
namespace {

using platform::Action;

std::vector<int> openDescriptors() {
    std::vector<int> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        descriptors.push_back(std::stoi(entry.path().filename().string()));
    }
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

TEST(Lifecycle, SmokeModeOnlyForAnExactArgument) {
    struct Case {
        std::vector<std::string> arguments;
        bool smoke;
    };
    const Case cases[] = {
        {{"vantrel-status"}, false},
        {{"vantrel-status", "--smoke"}, true},
        {{"--smoke"}, true}, // the program path counts too
        {{"vantrel-status", "--smoke=1"}, false},
        {{}, false},
    };
    for (const auto& c : cases) {
        Agent agent(c.arguments);
        EXPECT_EQ(Inspector::smokeMode(*agent.delegate), c.smoke)
            << ::testing::PrintToString(c.arguments);
    }
}

// A status item without a button (no tray to show it) still gets its menu,
// and the probes still run.
TEST(Lifecycle, LaunchTakesTheLockBuildsTheMenuAndProbesAtOnce) {
    for (const bool hasButton : {true, false}) {
        SCOPED_TRACE(hasButton);
        Agent agent;
        agent.app.statusItemsHaveButton = hasButton;
        agent.launch();

        EXPECT_GE(Inspector::lockDescriptor(*agent.delegate), 0);
        EXPECT_FALSE(lockIsFree(agent.lockPath()));
        EXPECT_EQ(agent.app.terminateCalls, 0);

        ASSERT_EQ(agent.app.statusItems.size(), 1u);
        auto& item = agent.statusItem();
        EXPECT_EQ(item.buttonState.title, hasButton ? "VT" : "");
        EXPECT_EQ(item.buttonState.toolTip, hasButton ? "Vantrel" : "");
        EXPECT_EQ(item.setMenuCalls, 1);
        ASSERT_NE(item.menu, nullptr);
        // What each line shows and sends is checked through the tray, end to end.
        ASSERT_EQ(item.menu->lines.size(), 7u);

        // One probe is out before any timer tick, with the limits that keep a
        // misbehaving server from holding or flooding the agent.
        ASSERT_EQ(agent.http->requests.size(), 1u);
        const auto& probe = agent.http->requests[0].request;
        EXPECT_EQ(probe.url, "http://127.0.0.1:18777/healthz");
        EXPECT_EQ(probe.totalTimeoutSeconds, 5.0);
        EXPECT_EQ(probe.maxBodyBytes, 1024u * 1024u);
        ASSERT_EQ(agent.app.repeatingTimers.size(), 1u);
        EXPECT_EQ(agent.app.repeatingTimers[0]->action, Action::refreshStatus);
        EXPECT_TRUE(agent.app.oneShotTimers.empty());

        // Each tick and each "Refresh Status" starts one more probe, without
        // waiting for the ones in flight.
        EXPECT_TRUE(agent.app.fireRepeatingTimer(0));
        EXPECT_TRUE(agent.app.fireRepeatingTimer(0));
        agent.delegate->performAction(Action::refreshStatus);
        EXPECT_EQ(agent.http->requests.size(), 4u);
        EXPECT_EQ(agent.http->pendingRequests(), 4u);
        EXPECT_EQ(agent.stateTitle(), "Local API: Checking\u2026");

        agent.answerProbe(healthyResponse());
        EXPECT_EQ(agent.stateTitle(), "Local API: Running");
        EXPECT_EQ(item.buttonState.titleHistory.empty(), !hasButton);
    }
}

TEST(Lifecycle, CleanUpStopsTheTimerBeforeReleasingTheLock) {
    struct Way {
        bool smoke;
        std::function<void(Agent&)> terminate;
    };
    const Way ways[] = {
        {false, [](Agent& a) { a.delegate->performAction(Action::quitMenu); }},
        {false, [](Agent& a) { a.app.terminate(); }}, // as the system does at log-out
        // A smoke run starts fully (menu, first probe, timer), then its one-shot ends it.
        {true, [](Agent& a) { EXPECT_TRUE(a.app.fireOneShotTimer(0)); }},
    };
    for (const auto& [smoke, terminate] : ways) {
        Agent agent(smoke ? std::vector<std::string>{"vantrel-status", "--smoke"}
                          : std::vector<std::string>{"vantrel-status"});
        agent.launch();
        EXPECT_EQ(agent.app.oneShotTimers.size(), smoke ? 1u : 0u);
        EXPECT_EQ(agent.app.terminateCalls, 0);
        const int descriptor = Inspector::lockDescriptor(*agent.delegate);
        ASSERT_GE(descriptor, 0);

        auto& timer = *agent.app.repeatingTimers.at(0);
        std::optional<bool> freeWhenInvalidated;
        timer.onInvalidate = [&] { freeWhenInvalidated = lockIsFree(agent.lockPath()); };

        terminate(agent);
        EXPECT_EQ(agent.app.terminateCalls, 1);
        EXPECT_EQ(agent.app.willTerminateRuns, 1);
        EXPECT_TRUE(timer.invalidated);
        ASSERT_TRUE(freeWhenInvalidated.has_value());
        EXPECT_FALSE(*freeWhenInvalidated);
        EXPECT_TRUE(lockIsFree(agent.lockPath()));
        // The descriptor itself is closed; the lock file stays.
        EXPECT_EQ(::fcntl(descriptor, F_GETFD), -1);
        EXPECT_TRUE(std::filesystem::exists(agent.lockPath()));
        // Only the agent ends: nothing is launched or opened.
        EXPECT_TRUE(agent.system->launches.empty());
        EXPECT_TRUE(agent.system->openRequests.empty());
        EXPECT_FALSE(agent.app.fireRepeatingTimer(0));
    }
}

// Without the lock (another agent of the same user holds it, or there is
// nowhere to keep it) the agent ends before anything is shown, closing what it
// opened and nothing else.
TEST(Lifecycle, WithoutTheLockTheAgentEndsBeforeAnythingIsShown) {
    Agent first;
    first.launch();
    for (const bool held : {true, false}) {
        SCOPED_TRACE(held ? "held by another agent" : "no Application Support folder");
        Agent second;
        second.system->supportDirectories =
            held ? first.system->supportDirectories : std::vector<std::string>{};
        const auto before = openDescriptors();
        second.launch();

        EXPECT_EQ(second.app.terminateCalls, 1);
        EXPECT_EQ(second.app.willTerminateRuns, 1);
        EXPECT_TRUE(second.app.statusItems.empty());
        EXPECT_TRUE(second.app.repeatingTimers.empty());
        EXPECT_TRUE(second.http->requests.empty());
        EXPECT_EQ(Inspector::lockDescriptor(*second.delegate) >= 0, held);
        EXPECT_EQ(openDescriptors(), before);
        EXPECT_TRUE(held || std::filesystem::is_empty(second.support.path())) << "created files";
        EXPECT_FALSE(lockIsFree(first.lockPath()));
        EXPECT_EQ(first.app.terminateCalls, 0);
    }
}

} // namespace
} // namespace vantrel::test
