// The status agent's one object: it owns all agent state for the life of the
// process and implements every behaviour behind the status menu. It touches the
// desktop only through the platform seam, so the same core runs on every backend
// and headless under the tests' fake.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// Must be owned by a std::shared_ptr: probe completions hold it weakly and the
// open request's completion holds it strongly. Every method runs on the main thread.
class StatusMenuDelegate final : public platform::ApplicationDelegate,
                                 public std::enable_shared_from_this<StatusMenuDelegate> {
  public:
    // `arguments` is the process's whole argument list, program path included.
    StatusMenuDelegate(platform::Application& application,
                       std::shared_ptr<platform::HttpClient> httpClient,
                       std::shared_ptr<platform::System> system,
                       const std::vector<std::string>& arguments);
    ~StatusMenuDelegate() override = default;

    StatusMenuDelegate(const StatusMenuDelegate&) = delete;
    StatusMenuDelegate& operator=(const StatusMenuDelegate&) = delete;

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;
    void performAction(platform::Action action) override;

    // The actions that the menu items and the refresh timer send.
    void refreshStatus();
    void openSettings();
    void quitMenu();

  private:
    bool acquireSingleInstanceLock();
    std::optional<std::string> readDesiredState();
    void attemptRecovery();
    // Runs on the main thread; does nothing once the delegate is gone.
    static void applyProbeResult(bool healthy, const std::weak_ptr<StatusMenuDelegate>& weakSelf);
    void setStateTitle(const std::string& title);

    // Tests read and arrange the private state through this.
    friend struct StatusMenuDelegateInspector;

    platform::Application& application;
    const std::shared_ptr<platform::HttpClient> httpClient;
    const std::shared_ptr<platform::System> system;

    const std::int64_t failureThreshold = 2;
    const double minimumRestartInterval = 15.0;
    const double restartWindow = 300.0;
    const std::int64_t maximumRestartsPerWindow = 3;
    // Null until launch has built them.
    std::shared_ptr<platform::StatusItem> statusItem;
    std::shared_ptr<platform::MenuItem> stateItem;
    std::shared_ptr<platform::Timer> timer;
    int lockDescriptor = -1;
    std::int64_t consecutiveFailures = 0;
    std::vector<double> restartAttempts;
    std::optional<double> lastRestart;
    const bool smokeMode;
};

} // namespace vantrel
