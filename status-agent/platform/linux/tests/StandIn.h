// A stand-in program for launch tests: a shell script that records how it was
// started, then execs `sleep` so that its descriptors and session can be read
// from outside while it lives.
#pragma once

#include "ChildProcess.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::test {

// Writes the stand-in at `script` (mode 0755). Each start leaves one record in
// `recordFolder`, then the process sleeps for `sleepSeconds`.
void writeStandIn(const std::filesystem::path& script, const std::filesystem::path& recordFolder,
                  int sleepSeconds);

struct LaunchRecord {
    pid_t pid = -1;
    std::string programPath; // argv[0] as the program saw it
    std::vector<std::string> arguments;
};

// Every record written so far, in no particular order.
std::vector<LaunchRecord> readLaunchRecords(const std::filesystem::path& recordFolder);

// Waits until `count` records exist or the time is up; returns what there is.
std::vector<LaunchRecord> waitForLaunchRecords(const std::filesystem::path& recordFolder,
                                               size_t count, std::chrono::milliseconds limit);

// What a live stand-in holds once it has become `sleep` and finished starting:
// its open descriptors with their targets, and its session id. Nothing when it
// is not (yet) asleep.
struct ProcessView {
    std::map<int, std::string> descriptors;
    pid_t session = -1;
};
std::optional<ProcessView> viewSleepingStandIn(pid_t pid, std::chrono::milliseconds limit);

} // namespace vantrel::test
