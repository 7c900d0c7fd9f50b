// Helpers shared by the agent's core tests: an agent wired to the fake platform
// with a temporary Application Support folder on the real file system, and
// access to the delegate's private state.
#pragma once

#include "StatusMenuDelegate.h"
#include "TemporaryFolder.h"
#include "platform/fake/FakePlatform.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// Reads and arranges the delegate's private state for tests.
struct StatusMenuDelegateInspector {
    static bool smokeMode(const StatusMenuDelegate& d) { return d.smokeMode; }
    static int lockDescriptor(const StatusMenuDelegate& d) { return d.lockDescriptor; }
    static std::int64_t& consecutiveFailures(StatusMenuDelegate& d) {
        return d.consecutiveFailures;
    }
    static std::vector<double>& restartAttempts(StatusMenuDelegate& d) { return d.restartAttempts; }
    static std::optional<double>& lastRestart(StatusMenuDelegate& d) { return d.lastRestart; }

    static bool acquireSingleInstanceLock(StatusMenuDelegate& d) {
        return d.acquireSingleInstanceLock();
    }
    static std::optional<std::string> readDesiredState(StatusMenuDelegate& d) {
        return d.readDesiredState();
    }
    static void attemptRecovery(StatusMenuDelegate& d) { d.attemptRecovery(); }
};

namespace test {

using Inspector = StatusMenuDelegateInspector;

platform::HttpResponse healthyResponse();

// One agent on the fake platform, with a temporary Application Support folder
// of its own (the real file system holds its lock and desired-state files).
struct Agent {
    explicit Agent(const std::vector<std::string>& arguments = {"vantrel-status"});
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Makes the delegate the application's and runs the launch.
    void launch();
    // Writes the desired-state file as the main application does (owner only).
    void writeDesiredState(const std::string& content);
    // Answers the oldest pending probe and delivers the result on the "main thread".
    void answerProbe(std::optional<platform::HttpResponse> response);

    fake::StatusItem& statusItem();
    fake::MenuItem& stateItem();
    std::string stateTitle();
    std::string buttonTitle();
    std::int64_t& failures() { return Inspector::consecutiveFailures(*delegate); }

    std::filesystem::path runtimeDirectory() const;
    std::filesystem::path lockPath() const { return runtimeDirectory() / "status-menu.lock"; }
    std::filesystem::path desiredStatePath() const { return runtimeDirectory() / "desired-state"; }

    TemporaryFolder support;
    fake::Application app;
    std::shared_ptr<fake::HttpClient> http = std::make_shared<fake::HttpClient>();
    std::shared_ptr<fake::System> system = std::make_shared<fake::System>();
    std::shared_ptr<StatusMenuDelegate> delegate;
};

} // namespace test
} // namespace vantrel
