// What every test program of the agent shares: temporary folders and files on
// the real file system, the lock's state, child processes with their output,
// and the built agent installed in a bundle laid out like Vantrel's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TemporaryFolder {
  public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Writes the file with exactly this mode, whatever the umask.
void writeFile(const std::filesystem::path& path, const std::string& content, mode_t mode);
std::string readFile(const std::filesystem::path& path);
mode_t permissions(const std::filesystem::path& path);

// True when another open file description could take the exclusive lock now.
bool lockIsFree(const std::filesystem::path& lockPath);
// The descriptors this process has open, from /proc/self/fd.
std::vector<int> openDescriptors();

// Checks `done` every 10 ms until it holds or the time is up; returns the last answer.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// Makes this process the reaper of the orphans of its children (the programs
// an agent launched, once that agent is gone).
void adoptOrphans();
// Ends and reaps a process this one has adopted; any other pid (one long gone
// and perhaps reused) is left alone.
void endAdopted(pid_t pid);

// A child process with its standard output and error captured. Ended
// (SIGKILL) and reaped on destruction.
class Process {
  public:
    // `environment` entries are added to (or replace those of) the test's own.
    // Without `captureErrors`, standard error goes to /dev/null.
    Process(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& environment, bool captureErrors = true);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status, -signal if a signal ended it, or nothing if it still
    // runs when the time is up.
    std::optional<int> wait(std::chrono::milliseconds limit);
    // Everything written to standard output (and error) so far.
    std::string output();
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);

  private:
    void drain(int timeoutMs);
    pid_t pid_ = -1;
    int output_ = -1;
    std::string captured_;
    std::optional<int> status_;
};

// The built agent copied into Vantrel.app/Contents/MacOS/ in a temporary
// folder, where a stand-in Vantrel can go beside it, with a data folder
// (XDG_DATA_HOME) of its own whose runtime folder already exists.
class AgentBundle {
  public:
    explicit AgentBundle(const std::filesystem::path& builtAgent);

    const std::filesystem::path& folder() const { return folder_.path(); }
    // Where Vantrel's executable goes.
    std::filesystem::path vantrel() const { return macOS_ / "Vantrel"; }
    std::filesystem::path dataFolder() const { return folder() / "data"; }
    std::filesystem::path runtime() const { return dataFolder() / "Vantrel/runtime"; }
    std::filesystem::path lockFile() const { return runtime() / "status-menu.lock"; }

    // As Vantrel writes it: owner only.
    void writeDesiredState(const std::string& content) const;
    // Runs the agent on this session bus (an unreachable one: no tray).
    std::unique_ptr<Process> start(const std::string& busAddress,
                                   const std::vector<std::string>& arguments = {}) const;

  private:
    TemporaryFolder folder_;
    std::filesystem::path macOS_;
};

} // namespace vantrel::test
