#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace vantrel::test {

using Clock = std::chrono::steady_clock;

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    bool met = done();
    while (!met && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        met = done();
    }
    return met;
}

namespace {

// Fields after the command name in /proc/PID/stat: state, ppid, pgrp, session, ...
std::vector<std::string> statFields(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const auto nameEnd = stat.rfind(')');
    std::vector<std::string> fields;
    if (nameEnd == std::string::npos) {
        return fields;
    }
    std::istringstream rest(stat.substr(nameEnd + 1));
    for (std::string field; rest >> field;) {
        fields.push_back(field);
    }
    return fields;
}

} // namespace

void adoptOrphans() {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

void endAdopted(pid_t pid) {
    const auto fields = statFields(pid);
    if (fields.size() > 1 && fields[1] == std::to_string(::getpid())) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

std::optional<char> processState(pid_t pid) {
    const auto fields = statFields(pid);
    return fields.size() > 3 ? std::optional<char>(fields[0][0]) : std::nullopt;
}

std::optional<pid_t> processSession(pid_t pid) {
    const auto fields = statFields(pid);
    return fields.size() > 3 ? std::optional<pid_t>(std::stoi(fields[3])) : std::nullopt;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& environment, Errors errors) {
    std::vector<std::string> strings = argv;
    const std::size_t arguments = strings.size();
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (environment.count(text.substr(0, text.find('='))) == 0) {
            strings.push_back(text);
        }
    }
    for (const auto& [key, value] : environment) {
        strings.push_back(key);
        strings.back().append("=").append(value);
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
    if (errors == Errors::captured) {
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

ChildProcess::~ChildProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeOutput();
}

void ChildProcess::closeOutput() {
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
}

void ChildProcess::drain(int timeoutMs) {
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

std::optional<int> ChildProcess::wait(std::chrono::milliseconds limit) {
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

std::string ChildProcess::output() {
    drain(0);
    return captured_;
}

} // namespace vantrel::test
