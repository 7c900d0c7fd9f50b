// The application, status item, menu and timers on AppKit. Everything here runs
// on the main thread except dispatchToMain, which any thread may call.
#import <AppKit/AppKit.h>

#include "platform/Platform.h"
#include "platform/macos/FoundationStrings.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

using vantrel::platform::Action;
using vantrel::platform::ApplicationDelegate;
using vantrel::platform::macos::toNSString;

// The object AppKit talks to. It forwards the launch and terminate notifications
// and the three menu and timer actions to the core's delegate. Menu items carry
// no target, so their actions travel the responder chain, which ends at the
// application and then at this object.
@interface VantrelApplicationDelegate : NSObject <NSApplicationDelegate>
- (instancetype)initWithDelegate:(ApplicationDelegate*)delegate NS_DESIGNATED_INITIALIZER;
- (instancetype)init NS_UNAVAILABLE;
- (void)refreshStatus;
- (void)openSettings;
- (void)quitMenu;
@end

@implementation VantrelApplicationDelegate {
    // Owned by the process entry, which outlives the event loop.
    ApplicationDelegate* _delegate;
}

- (instancetype)initWithDelegate:(ApplicationDelegate*)delegate {
    self = [super init];
    if (self != nil) {
        _delegate = delegate;
    }
    return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    (void)notification;
    _delegate->applicationDidFinishLaunching();
}

- (void)applicationWillTerminate:(NSNotification*)notification {
    (void)notification;
    _delegate->applicationWillTerminate();
}

- (void)refreshStatus {
    _delegate->performAction(Action::refreshStatus);
}

- (void)openSettings {
    _delegate->performAction(Action::openSettings);
}

- (void)quitMenu {
    _delegate->performAction(Action::quitMenu);
}

@end

namespace vantrel::platform {
namespace {

SEL selectorFor(Action action) {
    switch (action) {
    case Action::refreshStatus:
        return @selector(refreshStatus);
    case Action::openSettings:
        return @selector(openSettings);
    case Action::quitMenu:
        return @selector(quitMenu);
    }
    return nullptr;
}

// Titles are constants of the code; an invalid one shows as empty, not as a crash.
NSString* titleText(const std::string& title) {
    NSString* text = toNSString(title);
    return text != nil ? text : @"";
}

class MacMenuItem final : public MenuItem {
  public:
    explicit MacMenuItem(NSMenuItem* menuItem) : item(menuItem) {}
    void setTitle(const std::string& title) override { [item setTitle:titleText(title)]; }

  private:
    NSMenuItem* item;
};

class MacMenu final : public Menu {
  public:
    MacMenu() : menu([[NSMenu alloc] init]) {}

    std::shared_ptr<MenuItem> addItem(const std::string& title, std::optional<Action> action,
                                      const std::string& keyEquivalent) override {
        // No action: AppKit shows the line disabled. No target: the responder chain.
        NSMenuItem* item = [[NSMenuItem alloc] initWithTitle:titleText(title)
                                                      action:action ? selectorFor(*action) : nullptr
                                               keyEquivalent:titleText(keyEquivalent)];
        [menu addItem:item];
        return std::make_shared<MacMenuItem>(item);
    }

    void addSeparator() override { [menu addItem:[NSMenuItem separatorItem]]; }

    NSMenu* nativeMenu() const { return menu; }

  private:
    NSMenu* menu;
};

class MacStatusButton final : public StatusButton {
  public:
    explicit MacStatusButton(NSStatusItem* statusItem) : item(statusItem) {}
    void setTitle(const std::string& title) override { [item.button setTitle:titleText(title)]; }
    void setToolTip(const std::string& toolTip) override {
        [item.button setToolTip:titleText(toolTip)];
    }

  private:
    NSStatusItem* item;
};

class MacStatusItem final : public StatusItem {
  public:
    explicit MacStatusItem(NSStatusItem* statusItem) : item(statusItem), buttonView(statusItem) {}

    StatusButton* button() override { return item.button != nil ? &buttonView : nullptr; }

    void setMenu(std::shared_ptr<Menu> newMenu) override {
        const auto* macMenu = dynamic_cast<const MacMenu*>(newMenu.get());
        [item setMenu:macMenu != nullptr ? macMenu->nativeMenu() : nil];
        menu = std::move(newMenu);
    }

  private:
    NSStatusItem* item;
    MacStatusButton buttonView;
    std::shared_ptr<Menu> menu;
};

class MacTimer final : public Timer {
  public:
    explicit MacTimer(NSTimer* scheduled) : timer(scheduled) {}
    void invalidate() override { [timer invalidate]; }

  private:
    NSTimer* timer;
};

// A window-less accessory application may be napped, and a napped process's
// timers slip by minutes; the refresh and with it recovery must not. The
// activity lasts for the process's life and still lets the Mac sleep.
id<NSObject> beginMonitoringActivity() {
    return [[NSProcessInfo processInfo]
        beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                          reason:@"Monitoring Vantrel's local API"];
}

class MacApplication final : public Application {
  public:
    MacApplication()
        : application([NSApplication sharedApplication]), activity(beginMonitoringActivity()) {
        // Ended at termination, whether it comes from the menu or from a log-out.
        id<NSObject> held = activity;
        terminationObserver = [[NSNotificationCenter defaultCenter]
            addObserverForName:NSApplicationWillTerminateNotification
                        object:application
                         queue:nil
                    usingBlock:^(NSNotification* notification) {
                      (void)notification;
                      [[NSProcessInfo processInfo] endActivity:held];
                    }];
    }

    ~MacApplication() override {
        [[NSNotificationCenter defaultCenter] removeObserver:terminationObserver];
    }

    MacApplication(const MacApplication&) = delete;
    MacApplication& operator=(const MacApplication&) = delete;

    void setDelegate(ApplicationDelegate* delegate) override {
        // NSApplication holds its delegate weakly; this reference keeps it alive.
        delegateObject = delegate != nullptr
                             ? [[VantrelApplicationDelegate alloc] initWithDelegate:delegate]
                             : nil;
        [application setDelegate:delegateObject];
    }

    void setActivationPolicyAccessory() override {
        [application setActivationPolicy:NSApplicationActivationPolicyAccessory];
    }

    void run() override { [application run]; }

    // Runs applicationWillTerminate: and then ends the process.
    void terminate() override { [application terminate:nil]; }

    std::shared_ptr<StatusItem> createStatusItem() override {
        NSStatusItem* item =
            [[NSStatusBar systemStatusBar] statusItemWithLength:NSVariableStatusItemLength];
        return std::make_shared<MacStatusItem>(item);
    }

    std::shared_ptr<Menu> createMenu() override { return std::make_shared<MacMenu>(); }

    std::shared_ptr<Timer> scheduleRepeatingTimer(double intervalSeconds, Action action) override {
        // The timer holds its target, and the target sends the action on. With no
        // delegate there is nothing to send it to.
        if (delegateObject == nil) {
            return std::make_shared<MacTimer>(nil);
        }
        NSTimer* timer = [NSTimer scheduledTimerWithTimeInterval:intervalSeconds
                                                          target:delegateObject
                                                        selector:selectorFor(action)
                                                        userInfo:nil
                                                         repeats:YES];
        return std::make_shared<MacTimer>(timer);
    }

    void scheduleOneShotTimer(double intervalSeconds, std::function<void()> block) override {
        [NSTimer scheduledTimerWithTimeInterval:intervalSeconds
                                        repeats:NO
                                          block:^(NSTimer* timer) {
                                            (void)timer;
                                            block();
                                          }];
    }

    void dispatchToMain(std::function<void()> block) override {
        dispatch_async(dispatch_get_main_queue(), ^{
          block();
        });
    }

  private:
    NSApplication* application;
    id<NSObject> activity;
    id<NSObject> terminationObserver = nil;
    VantrelApplicationDelegate* delegateObject = nil;
};

} // namespace

std::unique_ptr<Application> createApplication() {
    return std::make_unique<MacApplication>();
}

} // namespace vantrel::platform
