#include "StatusMenuDelegate.h"

#include <filesystem>
#include <utility>
#include <vector>

namespace vantrel {

void StatusMenuDelegate::attemptRecovery() {
    // One time stamp for every comparison and both records, taken before the launch.
    const double now = system->now();

    std::vector<double> recent;
    for (const double attempt : restartAttempts) {
        if (now - attempt < restartWindow) {
            recent.push_back(attempt);
        }
    }
    restartAttempts = std::move(recent);

    // The window limit comes first: with three recent attempts nothing else is looked at.
    if (static_cast<std::int64_t>(restartAttempts.size()) >= maximumRestartsPerWindow) {
        setStateTitle("Local API: Recovery paused");
        return;
    }
    // A stamp in the future (clock set back) has a negative age and holds launches back too.
    if (lastRestart && now - *lastRestart < minimumRestartInterval) {
        setStateTitle("Local API: Recovering\u2026");
        return;
    }

    const auto executable =
        (std::filesystem::path(system->mainBundlePath()) / "Contents" / "MacOS" / "Vantrel")
            .string();
    if (!system->isExecutableFile(executable)) {
        // Nothing is recorded, so no back-off builds up while the executable is missing.
        setStateTitle("Local API: Recovery unavailable");
        return;
    }

    const bool launched = system->launchProcess(executable, {"--background-service"});
    // A failed launch counts against both limits, so repeated failures are paced too.
    restartAttempts.push_back(now);
    lastRestart = now;
    if (launched) {
        consecutiveFailures = 0;
        setStateTitle("Local API: Recovering\u2026");
    } else {
        setStateTitle("Local API: Recovery failed");
    }
}

} // namespace vantrel
