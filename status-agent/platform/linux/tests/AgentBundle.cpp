#include "AgentBundle.h"

namespace vantrel::test {

namespace fs = std::filesystem;

AgentBundle::AgentBundle(const fs::path& builtAgent)
    : macOS_(folder_.path() / "Vantrel.app/Contents/MacOS") {
    fs::create_directories(macOS_);
    fs::copy_file(builtAgent, macOS_ / "vantrel-status");
    fs::create_directories(runtime());
    fs::permissions(dataFolder() / "Vantrel", fs::perms(0700));
    fs::permissions(runtime(), fs::perms(0700));
}

void AgentBundle::writeDesiredState(const std::string& content) const {
    writeFile(runtime() / "desired-state", content, 0600);
}

std::unique_ptr<ChildProcess> AgentBundle::start(const std::string& busAddress,
                                                 const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {(macOS_ / "vantrel-status").string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{
                                                    {"DBUS_SESSION_BUS_ADDRESS", busAddress},
                                                    {"XDG_DATA_HOME", dataFolder().string()},
                                                    {"HOME", folder().string()},
                                                });
}

} // namespace vantrel::test
