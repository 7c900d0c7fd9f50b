// Child processes for tests: started with posix_spawn, their output captured,
// waited for with a limit, and never left behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::test {

// Checks `done` every 10 ms until it holds or the time is up; returns the last answer.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// Makes this process the reaper of the orphans of its children (the programs
// a child launched, once that child is gone).
void adoptOrphans();
// Ends and reaps a process this one has adopted; any other pid (one long gone
// and perhaps reused) is left alone.
void endAdopted(pid_t pid);

// State letter from /proc/PID/stat ('Z' for a zombie), or nothing once the
// process is gone.
std::optional<char> processState(pid_t pid);
// The session the process belongs to, or nothing once it is gone.
std::optional<pid_t> processSession(pid_t pid);

// A child with standard input on /dev/null and standard output (and error)
// captured. Ended (SIGKILL) and reaped on destruction.
class ChildProcess {
  public:
    enum class Errors { captured, discarded };
    // `environment` entries are added to (or replace those of) this process's own.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment = {},
                 Errors errors = Errors::captured);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status, -signal if a signal ended it, or nothing if it still
    // runs when the time is up.
    std::optional<int> wait(std::chrono::milliseconds limit);
    // Everything written so far.
    std::string output();
    // Stops capturing: the child's later writes to its output fail (EPIPE).
    void closeOutput();

  private:
    void drain(int timeoutMs);
    pid_t pid_ = -1;
    int output_ = -1;
    std::string captured_;
    std::optional<int> status_;
};

} // namespace vantrel::test
