// What the agent's core needs from the desktop, as small plain-C++ interfaces.
// Each backend (linux/, macos/, and the fake used by tests) implements them;
// the build compiles exactly one real backend. No platform types appear here.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::platform {

// The three action selectors that menu items and the refresh timer send.
enum class Action { refreshStatus, openSettings, quitMenu };

// One line of the status menu.
class MenuItem {
  public:
    virtual ~MenuItem() = default;
    virtual void setTitle(const std::string& title) = 0;
};

// The status menu; items are appended top to bottom. An item with no action is
// shown as an inert, disabled line. Key equivalents carry the default modifier.
class Menu {
  public:
    virtual ~Menu() = default;
    virtual std::shared_ptr<MenuItem> addItem(const std::string& title,
                                              std::optional<Action> action,
                                              const std::string& keyEquivalent) = 0;
    virtual void addSeparator() = 0;
};

// The item's button in the menu bar / tray. It may be absent.
class StatusButton {
  public:
    virtual ~StatusButton() = default;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setToolTip(const std::string& toolTip) = 0;
};

// The agent's item in the system menu bar (variable length).
class StatusItem {
  public:
    virtual ~StatusItem() = default;
    // Null when the item has no button (for example no tray host can be reached).
    virtual StatusButton* button() = 0;
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
};

// A timer scheduled on the main loop.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
};

// Receives the application's launch and terminate notifications and the menu
// actions, always on the main thread.
class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
    virtual void performAction(Action action) = 0;
};

// The process's one application object: event loop on the main thread.
class Application {
  public:
    virtual ~Application() = default;
    // Launch and terminate notifications and menu actions go to the delegate.
    // The application does not own it.
    virtual void setDelegate(ApplicationDelegate* delegate) = 0;
    // Accessory: no Dock icon, no application menu bar.
    virtual void setActivationPolicyAccessory() = 0;
    // Runs the event loop: delivers the launch notification, then events until
    // terminate() has run the clean-up. Returns when the loop ends.
    virtual void run() = 0;
    // Orderly termination: applicationWillTerminate runs (once), then the loop ends.
    virtual void terminate() = 0;
    virtual std::shared_ptr<StatusItem> createStatusItem() = 0;
    virtual std::shared_ptr<Menu> createMenu() = 0;
    // Timers on the main loop. A repeating timer sends the action to the delegate.
    virtual std::shared_ptr<Timer> scheduleRepeatingTimer(double intervalSeconds,
                                                          Action action) = 0;
    virtual void scheduleOneShotTimer(double intervalSeconds, std::function<void()> block) = 0;
    // Runs the block on the main thread later. Safe to call from any thread.
    virtual void dispatchToMain(std::function<void()> block) = 0;
};

// The final answer of an HTTP request after redirects; absent on any failure.
struct HttpResponse {
    long statusCode = 0;
    std::optional<std::string> body;
};

// One GET request. Beyond the idle timeout, a request is given up once it has
// run totalTimeoutSeconds in all or its body passes maxBodyBytes, so a server
// that trickles bytes cannot hold it open for ever.
struct HttpRequest {
    std::string url;
    double idleTimeoutSeconds = 0;
    double totalTimeoutSeconds = 0;
    std::size_t maxBodyBytes = 0;
};

// Asynchronous HTTP GET that follows redirects and never uses a proxy. The
// completion runs on a thread of the client's own, never the main thread; it
// receives no response on any failure (transport, timeout, body too large).
class HttpClient {
  public:
    virtual ~HttpClient() = default;
    virtual void get(const HttpRequest& request,
                     std::function<void(std::optional<HttpResponse>)> completion) = 0;
};

// Everything else the core reaches on the desktop.
class System {
  public:
    virtual ~System() = default;
    // Wall clock: seconds as a double. Not monotonic.
    virtual double now() = 0;
    // The user's Application Support folders, first one preferred; may be empty.
    virtual std::vector<std::string> applicationSupportDirectories() = 0;
    // The directory of the agent's main bundle.
    virtual std::string mainBundlePath() = 0;
    virtual bool isExecutableFile(const std::string& path) = 0;
    // Starts the program with exactly these arguments and every standard
    // stream on the null device; returns at once. False when it cannot start.
    virtual bool launchProcess(const std::string& executable,
                               const std::vector<std::string>& arguments) = 0;
    // Opens the application bundle as a new instance. The completion, which may
    // run on any thread, receives true when the application was started.
    virtual void openApplicationAsNewInstance(const std::string& bundlePath,
                                              std::function<void(bool opened)> completion) = 0;
    // The platform's JSON parser, reduced to the one question the probe asks:
    // does the text parse as JSON whose top-level value is an object holding
    // `key` with a string value? Returns that string, or nothing. Runs on the
    // HTTP client's thread, so it keeps no state.
    virtual std::optional<std::string> jsonTopLevelStringMember(std::string_view json,
                                                                std::string_view key) const = 0;
};

// The backend compiled into this build.
std::unique_ptr<Application> createApplication();
std::shared_ptr<HttpClient> createHttpClient();
std::unique_ptr<System> createSystem();

} // namespace vantrel::platform
