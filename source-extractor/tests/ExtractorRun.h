// Runs of the built extractor as its caller makes them, with the output kept
// apart from the error messages, and the ways that output can fail.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantrel::extractor::test {

struct RunResult {
    int exitStatus = -1; // -1 when the process ended by a signal
    int signal = 0;
    std::string standardOutput;
    std::string standardError;
};

// How the program's standard output is connected.
enum class Output { pipe, closedPipe, fullDevice };

// Runs the built extractor with these arguments (not counting its own path),
// under a CPU limit so that a run looping for ever fails its test.
// `whileRunning`, if given, is called with the child's pid once it has started.
// `limits`, shell commands such as "ulimit -d 1000", lower its limits further;
// `program` replaces the built extractor.
RunResult runExtractor(const std::vector<std::string>& arguments, Output output = Output::pipe,
                       const std::function<void(pid_t)>& whileRunning = {},
                       const std::string& limits = "", const std::string& program = EXTRACTOR_PATH);

// The messages the extractor ends with when it gives no text.
inline const std::string pdfFailure = "The selected PDF could not be read.\n";
inline const std::string richTextFailure = "The selected rich-text document could not be read.\n";
inline const std::string unsupported =
    "The selected source type is not supported by the native extractor.\n";
inline const std::string noText = "The selected source contains no importable text.\n";

// Expects exactly `text` on success (an empty `message`), or only `message`
// and status 1; never a death by signal.
void expectOutcome(const RunResult& run, const std::string& text, const std::string& message,
                   const std::string& what);

// Waits up to ten seconds for the process to map a file whose path holds `name`.
bool waitForMapping(pid_t pid, const std::string& name);

} // namespace vantrel::extractor::test
