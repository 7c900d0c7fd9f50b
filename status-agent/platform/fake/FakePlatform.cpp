#include "platform/fake/FakePlatform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace vantrel::fake {

void MenuItem::setTitle(const std::string& newTitle) {
    title = newTitle;
    titleHistory.push_back(newTitle);
}

std::shared_ptr<platform::MenuItem> Menu::addItem(const std::string& title,
                                                  std::optional<platform::Action> action,
                                                  const std::string& keyEquivalent) {
    auto item = std::make_shared<MenuItem>(title);
    lines.push_back({false, action, keyEquivalent, item});
    return item;
}

void Menu::addSeparator() {
    lines.push_back({true, std::nullopt, "", nullptr});
}

void StatusButton::setTitle(const std::string& newTitle) {
    title = newTitle;
    titleHistory.push_back(newTitle);
}

void StatusItem::setMenu(std::shared_ptr<platform::Menu> newMenu) {
    ++setMenuCalls;
    menu = std::dynamic_pointer_cast<Menu>(newMenu);
}

void Timer::invalidate() {
    if (onInvalidate) {
        onInvalidate();
    }
    invalidated = true;
}

void Application::run() {
    ++runCalls;
    if (delegate) {
        delegate->applicationDidFinishLaunching();
    }
}

void Application::terminate() {
    ++terminateCalls;
    if (willTerminateRuns == 0 && delegate) {
        ++willTerminateRuns;
        delegate->applicationWillTerminate();
    }
}

std::shared_ptr<platform::StatusItem> Application::createStatusItem() {
    auto item = std::make_shared<StatusItem>(statusItemsHaveButton);
    statusItems.push_back(item);
    return item;
}

std::shared_ptr<platform::Menu> Application::createMenu() {
    auto menu = std::make_shared<Menu>();
    menus.push_back(menu);
    return menu;
}

std::shared_ptr<platform::Timer> Application::scheduleRepeatingTimer(double intervalSeconds,
                                                                     platform::Action action) {
    auto timer = std::make_shared<Timer>(intervalSeconds, action);
    repeatingTimers.push_back(timer);
    return timer;
}

void Application::scheduleOneShotTimer(double intervalSeconds, std::function<void()> block) {
    oneShotTimers.push_back({intervalSeconds, std::move(block), false});
}

void Application::dispatchToMain(std::function<void()> block) {
    const std::lock_guard lock(queueMutex_);
    mainQueue.push_back(std::move(block));
}

bool Application::fireRepeatingTimer(std::size_t index) {
    const auto& timer = repeatingTimers.at(index);
    if (timer->invalidated || !delegate) {
        return false;
    }
    delegate->performAction(timer->action);
    return true;
}

bool Application::fireOneShotTimer(std::size_t index) {
    auto& timer = oneShotTimers.at(index);
    if (timer.fired) {
        return false;
    }
    timer.fired = true;
    // A copy: the block may schedule further timers and move the vector.
    auto block = timer.block;
    block();
    return true;
}

std::size_t Application::drainMainQueue() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> block;
        {
            const std::lock_guard lock(queueMutex_);
            if (mainQueue.empty()) {
                return ran;
            }
            block = std::move(mainQueue.front());
            mainQueue.pop_front();
        }
        block();
        ++ran;
    }
}

std::size_t Application::pendingMainBlocks() {
    const std::lock_guard lock(queueMutex_);
    return mainQueue.size();
}

void HttpClient::get(const platform::HttpRequest& request,
                     std::function<void(std::optional<platform::HttpResponse>)> completion) {
    const std::lock_guard lock(mutex_);
    requests.push_back({request, std::move(completion), false});
}

void HttpClient::complete(std::size_t index, std::optional<platform::HttpResponse> response) {
    std::function<void(std::optional<platform::HttpResponse>)> completion;
    {
        const std::lock_guard lock(mutex_);
        auto& entry = requests.at(index);
        if (entry.completed) {
            throw std::logic_error("request completed twice");
        }
        entry.completed = true;
        // Released after the call, as a real client drops its handler once it has run.
        completion = std::move(entry.completion);
        entry.completion = nullptr;
    }
    completion(std::move(response));
}

void HttpClient::completeNext(std::optional<platform::HttpResponse> response) {
    std::size_t index = 0;
    {
        const std::lock_guard lock(mutex_);
        while (index < requests.size() && requests[index].completed) {
            ++index;
        }
    }
    complete(index, std::move(response));
}

std::size_t HttpClient::pendingRequests() {
    const std::lock_guard lock(mutex_);
    std::size_t pending = 0;
    for (const auto& entry : requests) {
        pending += entry.completed ? 0 : 1;
    }
    return pending;
}

std::optional<std::string> System::jsonTopLevelStringMember(std::string_view json,
                                                            std::string_view key) const {
    const auto answer = jsonMembers.find({std::string(json), std::string(key)});
    if (answer == jsonMembers.end()) {
        return std::nullopt;
    }
    return answer->second;
}

std::vector<std::string> System::applicationSupportDirectories() {
    ++supportDirectoryQueries;
    return supportDirectories;
}

bool System::isExecutableFile(const std::string& path) {
    executableChecks.push_back(path);
    if (executables) {
        return executables->count(path) != 0;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

bool System::launchProcess(const std::string& executable,
                           const std::vector<std::string>& arguments) {
    launches.push_back({executable, arguments});
    return launchSucceeds;
}

void System::openApplicationAsNewInstance(const std::string& bundle,
                                          std::function<void(bool opened)> completion) {
    openRequests.push_back({bundle, std::move(completion), false});
}

void System::completeOpen(std::size_t index, bool opened) {
    auto& request = openRequests.at(index);
    if (request.completed) {
        throw std::logic_error("open request completed twice");
    }
    request.completed = true;
    auto completion = std::move(request.completion);
    request.completion = nullptr;
    completion(opened);
}

} // namespace vantrel::fake
