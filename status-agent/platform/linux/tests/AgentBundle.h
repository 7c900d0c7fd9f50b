// The built agent copied into Vantrel.app/Contents/MacOS/ in a temporary
// folder, where a stand-in Vantrel can go beside it, with a data folder
// (XDG_DATA_HOME) of its own whose runtime folder already exists.
#pragma once

#include "ChildProcess.h"
#include "TemporaryFolder.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace vantrel::test {

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
    // Runs the agent on this session bus.
    std::unique_ptr<ChildProcess> start(const std::string& busAddress,
                                        const std::vector<std::string>& arguments = {}) const;

  private:
    TemporaryFolder folder_;
    std::filesystem::path macOS_;
};

} // namespace vantrel::test
