// Helpers shared by the extractor's tests: temporary folders, files, and runs
// of the built program.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vantrel::extractor::test {

// A fresh folder under the system's temporary folder, removed with its content.
class TemporaryDirectory {
  public:
    TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    ~TemporaryDirectory();
    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to a file of that name in the folder; returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path path_;
};

struct RunResult {
    int exitStatus = -1; // -1 when the process ended by a signal
    int signal = 0;
    std::string standardOutput;
    std::string standardError;
};

// How the program's standard output is connected.
enum class Output { pipe, closedPipe, fullDevice };

// Runs the built extractor with these arguments (not counting its own path).
// `whileRunning`, if given, is called with the child's pid once it has started.
RunResult runExtractor(const std::vector<std::string>& arguments, Output output = Output::pipe,
                       const std::function<void(pid_t)>& whileRunning = {});

} // namespace vantrel::extractor::test
