#include "Support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace vantrel::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& content, mode_t mode) {
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

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

mode_t permissions(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        throw std::system_error(errno, std::generic_category(), "lstat " + path.string());
    }
    return info.st_mode & 07777;
}

bool lockIsFree(const fs::path& lockPath) {
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
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        descriptors.push_back(std::stoi(entry.path().filename().string()));
    }
    std::sort(descriptors.begin(), descriptors.end());
    return descriptors;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    bool met = done();
    while (!met && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        met = done();
    }
    return met;
}

void adoptOrphans() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void endAdopted(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string number, name, state;
    pid_t parent = -1;
    if (stat >> number >> name >> state >> parent && parent == ::getpid()) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment, bool captureErrors) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [key, value] : environment) {
        merged[key] = value;
    }
    std::vector<std::string> strings = argv;
    const std::size_t arguments = strings.size();
    for (const auto& [key, value] : merged) {
        strings.push_back(key + "=" + value);
    }
    std::vector<char*> pointers;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        pointers.push_back(strings[i].data());
        if (i + 1 == arguments) {
            pointers.push_back(nullptr); // argv ends, the environment begins
        }
    }
    pointers.push_back(nullptr);

    int pipeEnds[2];
    if (arguments == 0 || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot start a process");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    if (captureErrors) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    const int error = ::posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(),
                                    pointers.data() + arguments + 1);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    output_ = pipeEnds[0];
    if (error != 0) {
        ::close(output_);
        throw std::system_error(error, std::generic_category(), "cannot start " + argv[0]);
    }
    ::fcntl(output_, F_SETFL, O_NONBLOCK);
}

Process::~Process() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ::close(output_);
}

void Process::drain(int timeoutMs) {
    pollfd readable{output_, POLLIN, 0};
    if (::poll(&readable, 1, timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(output_, buffer, sizeof buffer)) > 0) {
        captured_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!status_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            break;
        }
        if (Clock::now() >= deadline) {
            break;
        }
        drain(10);
    }
    drain(0);
    return status_;
}

std::string Process::output() {
    drain(0);
    return captured_;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (captured_.find(text) == std::string::npos) {
        if (Clock::now() >= deadline) {
            return false;
        }
        drain(20);
    }
    return true;
}

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

std::unique_ptr<Process> AgentBundle::start(const std::string& busAddress,
                                            const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = {(macOS_ / "vantrel-status").string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return std::make_unique<Process>(argv, std::map<std::string, std::string>{
                                               {"DBUS_SESSION_BUS_ADDRESS", busAddress},
                                               {"XDG_DATA_HOME", dataFolder().string()},
                                               {"HOME", folder().string()},
                                           });
}

} // namespace vantrel::test
