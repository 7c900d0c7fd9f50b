#include "StatusMenuDelegate.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace vantrel {

using platform::Action;

StatusMenuDelegate::StatusMenuDelegate(platform::Application& app,
                                       std::shared_ptr<platform::HttpClient> client,
                                       std::shared_ptr<platform::System> sys,
                                       const std::vector<std::string>& arguments)
    : application(app), httpClient(std::move(client)), system(std::move(sys)),
      // Only an exact match counts: "--smoke=1", "--Smoke" and "-smoke" do not.
      smokeMode(std::find(arguments.begin(), arguments.end(), "--smoke") != arguments.end()) {}

void StatusMenuDelegate::applicationDidFinishLaunching() {
    if (!acquireSingleInstanceLock()) {
        // Another agent runs (or the lock cannot be taken): leave without showing anything.
        application.terminate();
        return;
    }

    statusItem = application.createStatusItem();
    if (auto* button = statusItem->button()) {
        button->setTitle("VT");
    }
    if (auto* button = statusItem->button()) {
        button->setToolTip("Vantrel");
    }

    auto menu = application.createMenu();
    stateItem = menu->addItem("Local API: Checking\u2026", std::nullopt, "");
    menu->addSeparator();
    menu->addItem("Open Vantrel", Action::openSettings, "o");
    menu->addItem("Refresh Status", Action::refreshStatus, "r");
    menu->addItem("Open Settings to Stop API", Action::openSettings, "s");
    menu->addSeparator();
    menu->addItem("Quit Status Menu", Action::quitMenu, "q");
    statusItem->setMenu(menu);

    // The first probe goes out now rather than one timer interval later.
    refreshStatus();
    timer = application.scheduleRepeatingTimer(5.0, Action::refreshStatus);

    if (smokeMode) {
        auto* app = &application;
        application.scheduleOneShotTimer(0.35, [app] { app->terminate(); });
    }
}

void StatusMenuDelegate::applicationWillTerminate() {
    // The timer stops before the lock goes, so no probe runs unguarded.
    if (timer) {
        timer->invalidate();
    }
    if (lockDescriptor >= 0) {
        ::flock(lockDescriptor, LOCK_UN);
        ::close(lockDescriptor);
    }
}

void StatusMenuDelegate::performAction(Action action) {
    switch (action) {
    case Action::refreshStatus:
        refreshStatus();
        break;
    case Action::openSettings:
        openSettings();
        break;
    case Action::quitMenu:
        quitMenu();
        break;
    }
}

void StatusMenuDelegate::setStateTitle(const std::string& title) {
    if (stateItem) {
        stateItem->setTitle(title);
    }
}

} // namespace vantrel
