// A platform that keeps state instead of reaching a desktop, so the agent's core
// runs headless in tests. It records what the core shows and starts, and holds
// timers, main-thread hand-offs, HTTP answers and open requests until the test
// fires or completes them. Used only by tests; never part of the real program.
#pragma once

#include "platform/Platform.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantrel::fake {

class MenuItem final : public platform::MenuItem {
  public:
    explicit MenuItem(std::string initialTitle) : title(std::move(initialTitle)) {}
    void setTitle(const std::string& newTitle) override;

    std::string title;
    // Every title set after creation, in order.
    std::vector<std::string> titleHistory;
};

// One line of a menu as the core added it; separators carry no item.
struct MenuLine {
    bool separator = false;
    std::optional<platform::Action> action;
    std::string keyEquivalent;
    std::shared_ptr<MenuItem> item;
};

class Menu final : public platform::Menu {
  public:
    std::shared_ptr<platform::MenuItem> addItem(const std::string& title,
                                                std::optional<platform::Action> action,
                                                const std::string& keyEquivalent) override;
    void addSeparator() override;

    std::vector<MenuLine> lines;
};

class StatusButton final : public platform::StatusButton {
  public:
    void setTitle(const std::string& newTitle) override;
    void setToolTip(const std::string& newToolTip) override { toolTip = newToolTip; }

    std::string title;
    std::string toolTip;
    std::vector<std::string> titleHistory;
};

class StatusItem final : public platform::StatusItem {
  public:
    explicit StatusItem(bool withButton) : hasButton(withButton) {}
    platform::StatusButton* button() override { return hasButton ? &buttonState : nullptr; }
    void setMenu(std::shared_ptr<platform::Menu> newMenu) override;

    const bool hasButton;
    StatusButton buttonState;
    std::shared_ptr<Menu> menu;
    int setMenuCalls = 0;
};

class Timer final : public platform::Timer {
  public:
    Timer(double interval, platform::Action timerAction)
        : intervalSeconds(interval), action(timerAction) {}
    void invalidate() override;

    const double intervalSeconds;
    const platform::Action action;
    bool invalidated = false;
    // Runs inside invalidate(), so a test can look at the world at that moment.
    std::function<void()> onInvalidate;
};

struct OneShotTimer {
    double intervalSeconds = 0;
    std::function<void()> block;
    bool fired = false;
};

class Application final : public platform::Application {
  public:
    void setDelegate(platform::ApplicationDelegate* newDelegate) override {
        delegate = newDelegate;
    }
    void setActivationPolicyAccessory() override { accessory = true; }
    // Delivers the launch notification and returns; the test then drives events.
    void run() override;
    // Runs the delegate's clean-up once, however often it is called.
    void terminate() override;
    std::shared_ptr<platform::StatusItem> createStatusItem() override;
    std::shared_ptr<platform::Menu> createMenu() override;
    std::shared_ptr<platform::Timer> scheduleRepeatingTimer(double intervalSeconds,
                                                            platform::Action action) override;
    void scheduleOneShotTimer(double intervalSeconds, std::function<void()> block) override;
    void dispatchToMain(std::function<void()> block) override;

    // Sends the timer's action to the delegate; false (and nothing sent) once invalidated.
    bool fireRepeatingTimer(std::size_t index);
    // Runs a one-shot timer's block; false if it has fired already.
    bool fireOneShotTimer(std::size_t index);
    // Runs queued main-thread blocks, also those queued meanwhile; returns how many ran.
    std::size_t drainMainQueue();
    std::size_t pendingMainBlocks();

    // Setting: status items created from now on have a button or not.
    bool statusItemsHaveButton = true;

    platform::ApplicationDelegate* delegate = nullptr;
    bool accessory = false;
    int runCalls = 0;
    int terminateCalls = 0;
    int willTerminateRuns = 0;
    std::vector<std::shared_ptr<StatusItem>> statusItems;
    std::vector<std::shared_ptr<Menu>> menus;
    std::vector<std::shared_ptr<Timer>> repeatingTimers;
    std::vector<OneShotTimer> oneShotTimers;

  private:
    std::mutex queueMutex_;
    std::deque<std::function<void()>> mainQueue;
};

class HttpClient final : public platform::HttpClient {
  public:
    struct Request {
        platform::HttpRequest request;
        std::function<void(std::optional<platform::HttpResponse>)> completion;
        bool completed = false;
    };

    void get(const platform::HttpRequest& request,
             std::function<void(std::optional<platform::HttpResponse>)> completion) override;

    // Runs the request's completion on the calling thread, once.
    void complete(std::size_t index, std::optional<platform::HttpResponse> response);
    // The oldest request not yet completed.
    void completeNext(std::optional<platform::HttpResponse> response);
    std::size_t pendingRequests();

    std::vector<Request> requests;

  private:
    std::mutex mutex_;
};

class System final : public platform::System {
  public:
    struct Launch {
        std::string executable;
        std::vector<std::string> arguments;
    };
    struct OpenRequest {
        std::string bundlePath;
        std::function<void(bool)> completion;
        bool completed = false;
    };

    double now() override { return clock; }
    std::vector<std::string> applicationSupportDirectories() override;
    std::string mainBundlePath() override { return bundlePath; }
    bool isExecutableFile(const std::string& path) override;
    bool launchProcess(const std::string& executable,
                       const std::vector<std::string>& arguments) override;
    void openApplicationAsNewInstance(const std::string& bundle,
                                      std::function<void(bool opened)> completion) override;

    // Answers from `jsonMembers` only: the core's tests judge answers, not JSON.
    std::optional<std::string> jsonTopLevelStringMember(std::string_view json,
                                                        std::string_view key) const override;

    // Runs the open request's completion on the calling thread, once.
    void completeOpen(std::size_t index, bool opened);

    // Settings.
    double clock = 1'000'000.0;
    std::vector<std::string> supportDirectories;
    std::string bundlePath = "/Applications/Vantrel.app";
    // Without a set, the real file system answers the executable test.
    std::optional<std::set<std::string>> executables;
    bool launchSucceeds = true;
    // The parser's answer for a text and a key; any other question has none.
    std::map<std::pair<std::string, std::string>, std::string> jsonMembers;

    // Records.
    int supportDirectoryQueries = 0;
    std::vector<std::string> executableChecks;
    std::vector<Launch> launches;
    std::vector<OpenRequest> openRequests;
};

} // namespace vantrel::fake
