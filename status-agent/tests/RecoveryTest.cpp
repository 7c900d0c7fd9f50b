// The relaunch policy at its boundaries, on a fake clock and a fake launcher.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace vantrel::test {
namespace {

const std::string executable = "/Applications/Vantrel.app/Contents/MacOS/Vantrel";
const std::string recovering = "Local API: Recovering\u2026";
const std::string paused = "Local API: Recovery paused";
const std::string unavailable = "Local API: Recovery unavailable";
const std::string failed = "Local API: Recovery failed";

// A launched agent whose recovery is driven directly, as a failed probe would.
struct RecoveryAgent : Agent {
    RecoveryAgent() {
        system->executables = std::set<std::string>{executable};
        launch();
        failures() = 2;
    }
    // Runs one recovery at the given time; returns the one title it set.
    std::string recoverAt(double time) {
        system->clock = time;
        const auto titles = stateItem().titleHistory.size();
        Inspector::attemptRecovery(*delegate);
        EXPECT_EQ(stateItem().titleHistory.size(), titles + 1) << "one title per call";
        return stateTitle();
    }
    std::vector<double>& attempts() { return Inspector::restartAttempts(*delegate); }
    std::optional<double>& lastRestart() { return Inspector::lastRestart(*delegate); }
};

constexpr double t0 = 1'000'000.0;

TEST(Recovery, FirstCallLaunchesAndRecordsTheAttempt) {
    for (const char* bundle : {"/Applications/Vantrel.app", "/Applications/Vantrel.app/"}) {
        SCOPED_TRACE(bundle);
        RecoveryAgent agent;
        agent.system->bundlePath = bundle;
        EXPECT_EQ(agent.recoverAt(t0), recovering);
        ASSERT_EQ(agent.system->launches.size(), 1u);
        EXPECT_EQ(agent.system->launches[0].executable, executable);
        EXPECT_EQ(agent.system->launches[0].arguments,
                  std::vector<std::string>{"--background-service"});
        EXPECT_EQ(agent.attempts(), std::vector<double>{t0});
        EXPECT_EQ(agent.lastRestart(), t0);
        EXPECT_EQ(agent.failures(), 0);
    }
}

TEST(Recovery, WindowDropsAttemptsFrom300SecondsOn) {
    struct Case {
        double age;
        std::string title;
        std::size_t attemptsAfter;
    };
    // Three attempts, the oldest at the given age: inside the window they pause
    // recovery; once the oldest has left it, the call launches.
    const Case cases[] = {
        {299.9, paused, 3},
        {300.0, recovering, 3}, // two kept, one new
        {300.1, recovering, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.age);
        RecoveryAgent agent;
        const double now = t0 + c.age;
        agent.attempts() = {t0, now - 200, now - 100};
        agent.lastRestart() = now - 100;
        EXPECT_EQ(agent.recoverAt(now), c.title);
        EXPECT_EQ(agent.attempts().size(), c.attemptsAfter);
        EXPECT_EQ(agent.system->launches.size(), c.title == paused ? 0u : 1u);
    }
}

TEST(Recovery, MinimumIntervalOf15Seconds) {
    struct Case {
        double sinceLast;
        bool launches;
    };
    for (const Case c : {Case{14.9, false}, Case{15.0, true}, Case{0.0, false}, Case{60, true}}) {
        SCOPED_TRACE(c.sinceLast);
        RecoveryAgent agent;
        agent.attempts() = {t0};
        agent.lastRestart() = t0;
        EXPECT_EQ(agent.recoverAt(t0 + c.sinceLast), recovering);
        if (c.launches) {
            EXPECT_EQ(agent.system->launches.size(), 1u);
            EXPECT_EQ(agent.attempts(), (std::vector<double>{t0, t0 + c.sinceLast}));
            EXPECT_EQ(agent.lastRestart(), t0 + c.sinceLast);
            EXPECT_EQ(agent.failures(), 0);
        } else {
            // Held back: nothing launched, nothing recorded, no file checked.
            EXPECT_TRUE(agent.system->launches.empty());
            EXPECT_TRUE(agent.system->executableChecks.empty());
            EXPECT_EQ(agent.attempts(), std::vector<double>{t0});
            EXPECT_EQ(agent.lastRestart(), t0);
            EXPECT_EQ(agent.failures(), 2);
        }
    }
}

TEST(Recovery, ThreeAttemptsOfAnyMixPauseWithoutTouchingTheFileSystem) {
    for (const bool firstSucceeds : {true, false}) {
        RecoveryAgent agent;
        agent.system->launchSucceeds = firstSucceeds;
        EXPECT_EQ(agent.recoverAt(t0), firstSucceeds ? recovering : failed);
        agent.system->launchSucceeds = !firstSucceeds;
        EXPECT_EQ(agent.recoverAt(t0 + 15), firstSucceeds ? failed : recovering);
        agent.system->launchSucceeds = true;
        EXPECT_EQ(agent.recoverAt(t0 + 30), recovering);
        ASSERT_EQ(agent.system->launches.size(), 3u);
        const auto checks = agent.system->executableChecks.size();

        // Paused even though the last attempt is under 15 seconds old.
        EXPECT_EQ(agent.recoverAt(t0 + 31), paused);
        EXPECT_EQ(agent.recoverAt(t0 + 299.9), paused);
        EXPECT_EQ(agent.system->executableChecks.size(), checks);
        EXPECT_EQ(agent.system->launches.size(), 3u);
        EXPECT_EQ(agent.attempts(), (std::vector<double>{t0, t0 + 15, t0 + 30}));
        EXPECT_EQ(agent.lastRestart(), t0 + 30);

        // Once the oldest is 300 seconds old, launching resumes.
        EXPECT_EQ(agent.recoverAt(t0 + 300), recovering);
        EXPECT_EQ(agent.system->launches.size(), 4u);
        EXPECT_EQ(agent.attempts(), (std::vector<double>{t0 + 15, t0 + 30, t0 + 300}));
    }
}

TEST(Recovery, WindowFreedButLastAttemptTooRecentHoldsBack) {
    RecoveryAgent agent;
    agent.attempts() = {t0, t0 + 150, t0 + 290};
    agent.lastRestart() = t0 + 290;
    EXPECT_EQ(agent.recoverAt(t0 + 300), recovering);
    EXPECT_TRUE(agent.system->launches.empty());
    // The pruned list is stored even though nothing was launched.
    EXPECT_EQ(agent.attempts(), (std::vector<double>{t0 + 150, t0 + 290}));
}

TEST(Recovery, MissingExecutableRecordsNothing) {
    RecoveryAgent agent;
    agent.system->executables.emplace();
    agent.attempts() = {t0 - 400, t0 - 100};
    agent.lastRestart() = t0 - 100;
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(agent.recoverAt(t0 + call * 20.0), unavailable);
    }
    EXPECT_EQ(agent.system->executableChecks,
              (std::vector<std::string>{executable, executable, executable}));
    EXPECT_TRUE(agent.system->launches.empty());
    EXPECT_EQ(agent.attempts(), std::vector<double>{t0 - 100}); // pruned only
    EXPECT_EQ(agent.lastRestart(), t0 - 100);
    EXPECT_EQ(agent.failures(), 2);
}

TEST(Recovery, FailedLaunchKeepsTheCounterAndCountsAgainstTheLimits) {
    RecoveryAgent agent;
    agent.system->launchSucceeds = false;
    EXPECT_EQ(agent.recoverAt(t0), failed);
    EXPECT_EQ(agent.system->launches.size(), 1u);
    EXPECT_EQ(agent.failures(), 2);
    EXPECT_EQ(agent.attempts(), std::vector<double>{t0});
    EXPECT_EQ(agent.lastRestart(), t0);

    EXPECT_EQ(agent.recoverAt(t0 + 10), recovering); // held back
    EXPECT_EQ(agent.system->launches.size(), 1u);
    EXPECT_EQ(agent.recoverAt(t0 + 20), failed);
    EXPECT_EQ(agent.recoverAt(t0 + 40), failed);
    EXPECT_EQ(agent.recoverAt(t0 + 60), paused);
    EXPECT_EQ(agent.system->launches.size(), 3u);
    EXPECT_EQ(agent.failures(), 2);
}

TEST(Recovery, ClockSetBackHoldsLaunchesBack) {
    RecoveryAgent agent;
    // The last attempt lies 100 seconds in the future.
    agent.attempts() = {t0 + 100};
    agent.lastRestart() = t0 + 100;
    EXPECT_EQ(agent.recoverAt(t0), recovering);
    EXPECT_EQ(agent.recoverAt(t0 + 114.9), recovering);
    EXPECT_TRUE(agent.system->launches.empty());
    EXPECT_EQ(agent.attempts(), std::vector<double>{t0 + 100}); // still in the window
    EXPECT_EQ(agent.recoverAt(t0 + 115), recovering);
    EXPECT_EQ(agent.system->launches.size(), 1u);

    // Three attempts from the future keep recovery paused.
    RecoveryAgent later;
    later.attempts() = {t0 + 1000, t0 + 2000, t0 + 3000};
    later.lastRestart() = t0 + 3000;
    EXPECT_EQ(later.recoverAt(t0), paused);
    EXPECT_EQ(later.attempts().size(), 3u);
}

} // namespace
} // namespace vantrel::test
