#include "StandIn.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vantrel::test {

namespace fs = std::filesystem;

void writeStandIn(const fs::path& script, const fs::path& recordFolder, int sleepSeconds) {
    fs::create_directories(recordFolder);
    std::ofstream out(script);
    // The record is written under a temporary name and renamed, so a reader
    // never sees half of it. `exec sleep` drops the shell's own descriptors and
    // keeps exactly what the program inherited.
    out << "#!/bin/sh\n"
        << "record='" << recordFolder.string() << "'/launch-$$\n"
        << "{ printf 'pid %s\\n' \"$$\"; printf 'zero %s\\n' \"$0\";\n"
        << "  for a in \"$@\"; do printf 'arg %s\\n' \"$a\"; done; } > \"$record.partial\"\n"
        << "mv \"$record.partial\" \"$record\"\n"
        << "exec sleep " << sleepSeconds << "\n";
    out.close();
    fs::permissions(script, fs::perms(0755));
}

std::vector<LaunchRecord> readLaunchRecords(const fs::path& recordFolder) {
    std::vector<std::pair<fs::file_time_type, LaunchRecord>> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(recordFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("launch-", 0) != 0 || name.find('.') != std::string::npos) {
            continue;
        }
        LaunchRecord record;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            const auto space = line.find(' ');
            const std::string key = line.substr(0, space);
            const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
            if (key == "pid") {
                record.pid = static_cast<pid_t>(std::stol(value));
            } else if (key == "zero") {
                record.programPath = value;
            } else if (key == "arg") {
                record.arguments.push_back(value);
            }
        }
        found.emplace_back(entry.last_write_time(), record);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LaunchRecord> records;
    for (auto& [time, record] : found) {
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<LaunchRecord> waitForLaunchRecords(const fs::path& recordFolder, size_t count,
                                               std::chrono::milliseconds limit) {
    waitUntil([&] { return readLaunchRecords(recordFolder).size() >= count; }, limit);
    return readLaunchRecords(recordFolder);
}

namespace {

std::optional<std::string> readWhole(const fs::path& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Fields after the command name in /proc/PID/stat: state, ppid, pgrp, session, ...
std::optional<std::vector<std::string>> statFields(pid_t pid) {
    const auto stat = readWhole("/proc/" + std::to_string(pid) + "/stat");
    if (!stat || stat->empty()) {
        return std::nullopt;
    }
    std::istringstream rest(stat->substr(stat->rfind(')') + 1));
    std::vector<std::string> fields;
    for (std::string field; rest >> field;) {
        fields.push_back(field);
    }
    if (fields.size() < 4) {
        return std::nullopt;
    }
    return fields;
}

} // namespace

std::optional<ProcessView> viewSleepingStandIn(pid_t pid, std::chrono::milliseconds limit) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    if (!waitUntil([&] { return readWhole(proc / "comm").value_or("") == "sleep\n"; }, limit)) {
        return std::nullopt;
    }
    ProcessView view;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(proc / "fd", error)) {
        std::error_code unreadable;
        view.descriptors[std::stoi(entry.path().filename().string())] =
            fs::read_symlink(entry.path(), unreadable).string();
    }
    if (error) {
        return std::nullopt;
    }
    const auto fields = statFields(pid);
    if (!fields) {
        return std::nullopt;
    }
    view.session = static_cast<pid_t>(std::stol((*fields)[3]));
    return view;
}

std::optional<char> processState(pid_t pid) {
    const auto fields = statFields(pid);
    if (!fields) {
        return std::nullopt;
    }
    return (*fields)[0][0];
}

} // namespace vantrel::test
