#include "TestSupport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace vantrel::test {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vantrel-agent-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    root = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void writeFile(const std::filesystem::path& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + path.string());
    }
    const bool written =
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    const bool narrowed = ::fchmod(fd, mode) == 0;
    ::close(fd);
    if (!written || !narrowed) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

mode_t permissions(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "lstat " + path.string());
    }
    return info.st_mode & 07777;
}

bool lockIsFree(const std::filesystem::path& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + lockPath.string());
    }
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

std::vector<int> openDescriptors() {
    std::vector<int> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        descriptors.push_back(std::stoi(entry.path().filename().string()));
    }
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

platform::HttpResponse healthyResponse() {
    return {200, std::string(R"({"service":"vantrel-local"})")};
}

Agent::Agent(std::vector<std::string> arguments) {
    system->supportDirectories = {support.path().string()};
    delegate = std::make_shared<StatusMenuDelegate>(app, http, system, arguments);
}

Agent::~Agent() {
    // Runs the clean-up (once) so the lock is released as at a real exit.
    if (delegate && app.delegate == nullptr) {
        app.setDelegate(delegate.get());
    }
    app.terminate();
    // Unanswered open requests hold the delegate, which holds the fake System.
    system->openRequests.clear();
}

void Agent::launch() {
    app.setDelegate(delegate.get());
    app.run();
}

std::filesystem::path Agent::runtimeDirectory() const {
    return support.path() / "Vantrel" / "runtime";
}

void Agent::writeDesiredState(const std::string& content) {
    std::filesystem::create_directories(runtimeDirectory());
    writeFile(desiredStatePath(), content, 0600);
}

void Agent::removeDesiredState() {
    std::filesystem::remove(desiredStatePath());
}

void Agent::answerProbe(std::optional<platform::HttpResponse> response) {
    http->completeNext(std::move(response));
    app.drainMainQueue();
}

void Agent::probe(std::optional<platform::HttpResponse> response) {
    delegate->performAction(platform::Action::refreshStatus);
    answerProbe(std::move(response));
}

fake::StatusItem& Agent::statusItem() {
    return *app.statusItems.at(0);
}

fake::Menu& Agent::menu() {
    return *statusItem().menu;
}

fake::MenuItem& Agent::stateItem() {
    return *menu().lines.at(0).item;
}

std::string Agent::stateTitle() {
    return stateItem().title;
}

std::string Agent::buttonTitle() {
    return statusItem().buttonState.title;
}

} // namespace vantrel::test
