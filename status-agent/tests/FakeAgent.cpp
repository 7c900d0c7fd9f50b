#include "FakeAgent.h"

namespace vantrel::test {

namespace {
const std::string healthyBody = R"({"service":"vantrel-local"})";
} // namespace

platform::HttpResponse healthyResponse() {
    return {200, healthyBody};
}

Agent::Agent(const std::vector<std::string>& arguments) {
    system->supportDirectories = {support.path().string()};
    system->jsonMembers[{healthyBody, "service"}] = "vantrel-local";
    delegate = std::make_shared<StatusMenuDelegate>(app, http, system, arguments);
}

Agent::~Agent() {
    // Runs the clean-up (once) so the lock is released as at a real exit.
    if (delegate && app.delegate == nullptr) {
        app.setDelegate(delegate.get());
    }
    app.terminate();
    // Unanswered open requests hold the delegate, which holds the fake System.
    system->openRequests.clear();
}

void Agent::launch() {
    app.setDelegate(delegate.get());
    app.run();
}

std::filesystem::path Agent::runtimeDirectory() const {
    return support.path() / "Vantrel" / "runtime";
}

void Agent::writeDesiredState(const std::string& content) {
    std::filesystem::create_directories(runtimeDirectory());
    writeFile(desiredStatePath(), content, 0600);
}

void Agent::answerProbe(std::optional<platform::HttpResponse> response) {
    http->completeNext(std::move(response));
    app.drainMainQueue();
}

fake::StatusItem& Agent::statusItem() {
    return *app.statusItems.at(0);
}

fake::MenuItem& Agent::stateItem() {
    return *statusItem().menu->lines.at(0).item;
}

std::string Agent::stateTitle() {
    return stateItem().title;
}

std::string Agent::buttonTitle() {
    return statusItem().buttonState.title;
}

} // namespace vantrel::test
