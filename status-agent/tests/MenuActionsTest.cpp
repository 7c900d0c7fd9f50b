// "Open Vantrel" and "Open Settings to Stop API"; "Quit Status Menu" is in
// LifecycleTest with the other ways of ending.
#include "FakeAgent.h"

#include <gtest/gtest.h>

#include <thread>

namespace vantrel::test {
namespace {

using platform::Action;

TEST(MenuActions, BothOpenItemsOpenTheBundleThenQuitTheAgentFromTheMainThread) {
    Agent agent;
    agent.system->bundlePath = "/opt/Vantrel.app";
    agent.launch();
    const auto& lines = agent.statusItem().menu->lines;
    ASSERT_EQ(lines[2].item->title, "Open Vantrel");
    ASSERT_EQ(lines[4].item->title, "Open Settings to Stop API");
    EXPECT_EQ(lines[2].action, lines[4].action);

    agent.delegate->performAction(*lines[4].action);
    ASSERT_EQ(agent.system->openRequests.size(), 1u);
    EXPECT_EQ(agent.system->openRequests[0].bundlePath, "/opt/Vantrel.app");
    EXPECT_TRUE(agent.system->launches.empty());

    // The answer may come on any thread; the effect waits for the main one.
    std::thread([&] { agent.system->completeOpen(0, true); }).join();
    EXPECT_EQ(agent.app.terminateCalls, 0);
    EXPECT_EQ(agent.app.drainMainQueue(), 1u);
    EXPECT_EQ(agent.app.terminateCalls, 1);
    EXPECT_EQ(agent.app.willTerminateRuns, 1);
    EXPECT_TRUE(agent.app.repeatingTimers[0]->invalidated);
    EXPECT_TRUE(lockIsFree(agent.lockPath()));
}

TEST(MenuActions, FailedOpenKeepsTheAgentRunningUntilTheNextProbe) {
    Agent agent;
    agent.launch();
    agent.delegate->performAction(Action::openSettings);
    std::thread([&] { agent.system->completeOpen(0, false); }).join();
    EXPECT_EQ(agent.stateTitle(), "Local API: Checking\u2026");
    agent.app.drainMainQueue();

    EXPECT_EQ(agent.stateTitle(), "Vantrel could not open");
    EXPECT_EQ(agent.app.terminateCalls, 0);
    EXPECT_FALSE(lockIsFree(agent.lockPath()));
    EXPECT_TRUE(agent.app.fireRepeatingTimer(0));
    agent.answerProbe(healthyResponse());
    EXPECT_EQ(agent.stateTitle(), "Local API: Running");
}

TEST(MenuActions, OpenRequestKeepsTheDelegateUntilItsAnswerHasRun) {
    Agent agent;
    agent.launch();
    agent.delegate->performAction(Action::openSettings);
    agent.app.terminate(); // releases the lock now; the fake then forgets the delegate
    agent.app.setDelegate(nullptr);
    std::weak_ptr<StatusMenuDelegate> weak = agent.delegate;
    agent.delegate.reset();
    ASSERT_FALSE(weak.expired());

    agent.system->completeOpen(0, false);
    agent.app.drainMainQueue();
    EXPECT_EQ(agent.stateTitle(), "Vantrel could not open");
    // Once run, the answer lets go.
    EXPECT_TRUE(weak.expired());
}

} // namespace
} // namespace vantrel::test
