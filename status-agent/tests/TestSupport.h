// Helpers shared by the agent's core tests: a temporary Application Support
// folder on the real file system, an agent wired to the fake platform, and
// access to the delegate's private state.
#pragma once

#include "StatusMenuDelegate.h"
#include "platform/fake/FakePlatform.h"

#include <sys/types.h>

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
    static const void* stateItem(const StatusMenuDelegate& d) { return d.stateItem.get(); }
    static const void* timer(const StatusMenuDelegate& d) { return d.timer.get(); }

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

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return root; }

  private:
    std::filesystem::path root;
};

void writeFile(const std::filesystem::path& path, const std::string& content, mode_t mode);
std::string readFile(const std::filesystem::path& path);
mode_t permissions(const std::filesystem::path& path);

// True when another open file description could take the exclusive lock now.
bool lockIsFree(const std::filesystem::path& lockPath);
// The descriptors this process has open, from /proc/self/fd.
std::vector<int> openDescriptors();

platform::HttpResponse healthyResponse();

// One agent on the fake platform, with a temporary Application Support folder
// of its own (the real file system holds its lock and desired-state files).
struct Agent {
    explicit Agent(std::vector<std::string> arguments = {"vantrel-status"});
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Makes the delegate the application's and runs the launch.
    void launch();
    // Writes the desired-state file as the main application does (owner only).
    void writeDesiredState(const std::string& content);
    void removeDesiredState();
    // Answers the oldest pending probe and delivers the result on the "main thread".
    void answerProbe(std::optional<platform::HttpResponse> response);
    // Starts a probe through the refresh action and answers it.
    void probe(std::optional<platform::HttpResponse> response);

    fake::StatusItem& statusItem();
    fake::Menu& menu();
    fake::MenuItem& stateItem();
    std::string stateTitle();
    std::string buttonTitle();
    std::int64_t& failures() { return Inspector::consecutiveFailures(*delegate); }

    std::filesystem::path runtimeDirectory() const;
    std::filesystem::path lockPath() const { return runtimeDirectory() / "status-menu.lock"; }
    std::filesystem::path desiredStatePath() const { return runtimeDirectory() / "desired-state"; }

    TempDir support;
    fake::Application app;
    std::shared_ptr<fake::HttpClient> http = std::make_shared<fake::HttpClient>();
    std::shared_ptr<fake::System> system = std::make_shared<fake::System>();
    std::shared_ptr<StatusMenuDelegate> delegate;
};

} // namespace test
} // namespace vantrel
