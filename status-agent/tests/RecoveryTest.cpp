// The relaunch policy at its boundaries, on a fake clock and a fake launcher.
#include "FakeAgent.h"

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
    RecoveryAgent agent;
    agent.system->bundlePath = "/Applications/Vantrel.app/"; // a trailing slash changes nothing
    EXPECT_EQ(agent.recoverAt(t0), recovering);
    ASSERT_EQ(agent.system->launches.size(), 1u);
    EXPECT_EQ(agent.system->launches[0].executable, executable);
    EXPECT_EQ(agent.system->launches[0].arguments,
              std::vector<std::string>{"--background-service"});
    EXPECT_EQ(agent.attempts(), std::vector<double>{t0});
    EXPECT_EQ(agent.lastRestart(), t0);
    EXPECT_EQ(agent.failures(), 0);
}

// Earlier attempts, the last of them the last restart, and one call: within
// 15 s of the last restart nothing launches; three attempts younger than 300 s
// pause recovery; a clock set back holds launches back too.
TEST(Recovery, LimitsAtTheirBoundaries) {
    struct Case {
        const char* name;
        std::vector<double> attempts;
        double now;
        std::string title;
        bool launches;
        std::size_t pruned; // oldest attempts dropped from the window
    };
    const Case cases[] = {
        {"oldest of three 299.9 s old", {t0, t0 + 99.9, t0 + 199.9}, t0 + 299.9, paused, false, 0},
        {"oldest of three 300 s old", {t0, t0 + 100, t0 + 200}, t0 + 300, recovering, true, 1},
        {"at once", {t0}, t0, recovering, false, 0},
        {"14.9 s after", {t0}, t0 + 14.9, recovering, false, 0},
        {"15 s after", {t0}, t0 + 15, recovering, true, 0},
        // The pruned list is stored even though nothing was launched.
        {"window freed, last too recent", {t0, t0 + 150, t0 + 290}, t0 + 300, recovering, false, 1},
        {"last 100 s in the future", {t0 + 100}, t0, recovering, false, 0},
        {"three in the future", {t0 + 1000, t0 + 2000, t0 + 3000}, t0, paused, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecoveryAgent agent;
        agent.attempts() = c.attempts;
        agent.lastRestart() = c.attempts.back();
        EXPECT_EQ(agent.recoverAt(c.now), c.title);
        std::vector<double> after(c.attempts.begin() + static_cast<long>(c.pruned),
                                  c.attempts.end());
        if (c.launches) {
            after.push_back(c.now);
        }
        EXPECT_EQ(agent.attempts(), after);
        EXPECT_EQ(agent.system->launches.size(), c.launches ? 1u : 0u);
        // Held back or paused: no file is checked, and the counter stays.
        EXPECT_EQ(agent.system->executableChecks.size(), c.launches ? 1u : 0u);
        EXPECT_EQ(agent.lastRestart(), c.launches ? c.now : c.attempts.back());
        EXPECT_EQ(agent.failures(), c.launches ? 0 : 2);
    }
}

// A failed launch keeps the counter and still counts as an attempt, so three
// failures pause recovery as three launches do.
TEST(Recovery, LaunchesThatFailCountToo) {
    RecoveryAgent agent;
    agent.system->launchSucceeds = false;
    for (const double time : {t0, t0 + 15, t0 + 30}) {
        EXPECT_EQ(agent.recoverAt(time), failed);
        EXPECT_EQ(agent.failures(), 2);
        EXPECT_EQ(agent.lastRestart(), time);
    }
    agent.system->launchSucceeds = true;
    // Paused, though the last attempt is also under 15 seconds old.
    EXPECT_EQ(agent.recoverAt(t0 + 31), paused);
    EXPECT_EQ(agent.system->launches.size(), 3u);
    EXPECT_EQ(agent.attempts(), (std::vector<double>{t0, t0 + 15, t0 + 30}));
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

} // namespace
} // namespace vantrel::test
