#include "ExtractorRun.h"

#include "ChildProcess.h"
#include "TemporaryFolder.h"

#include <chrono>
#include <gtest/gtest.h>

namespace vantrel::extractor::test {

using namespace std::chrono_literals;

RunResult runExtractor(const std::vector<std::string>& arguments, Output output,
                       const std::function<void(pid_t)>& whileRunning, const std::string& limits,
                       const std::string& program) {
    const vantrel::test::TemporaryFolder folder;
    const auto errors = folder.path() / "errors";
    // The shell sets the limit and the redirections, then becomes the extractor.
    std::string script = "ulimit -t 60 && " + (limits.empty() ? "" : limits + " && ") +
                         "exec \"$0\" \"$@\" 2>\"$EXTRACTOR_ERRORS\"";
    if (output == Output::fullDevice) {
        script += " >/dev/full";
    }
    std::vector<std::string> argv{"/bin/sh", "-c", script, program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    vantrel::test::ChildProcess child(argv, {{"EXTRACTOR_ERRORS", errors.string()}},
                                      vantrel::test::ChildProcess::Errors::discarded);
    if (output == Output::closedPipe) {
        child.closeOutput();
    }
    if (whileRunning) {
        whileRunning(child.pid());
    }
    RunResult result;
    const auto status = child.wait(120s);
    if (!status) {
        result.standardError = "still running after two minutes";
    } else if (*status < 0) {
        result.signal = -*status;
    } else {
        result.exitStatus = *status;
    }
    result.standardOutput = child.output();
    if (status) {
        result.standardError = vantrel::test::readFile(errors);
    }
    return result;
}

void expectOutcome(const RunResult& run, const std::string& text, const std::string& message,
                   const std::string& what) {
    EXPECT_EQ(run.signal, 0) << what;
    EXPECT_EQ(run.exitStatus, message.empty() ? 0 : 1) << what;
    EXPECT_EQ(run.standardOutput, text) << what;
    EXPECT_EQ(run.standardError, message) << what;
}

bool waitForMapping(pid_t pid, const std::string& name) {
    const auto maps = "/proc/" + std::to_string(pid) + "/maps";
    return vantrel::test::waitUntil(
        [&] { return vantrel::test::readFile(maps).find(name) != std::string::npos; }, 10s);
}

} // namespace vantrel::extractor::test
