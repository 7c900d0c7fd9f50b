#include "StandIn.h"
#include "TemporaryFolder.h"

#include <unistd.h>

#include <fstream>
#include <thread>

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
    std::vector<LaunchRecord> records;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(recordFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("launch-", 0) != 0 || name.find('.') != std::string::npos) {
            continue;
        }
        LaunchRecord& record = records.emplace_back();
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
    }
    return records;
}

std::vector<LaunchRecord> waitForLaunchRecords(const fs::path& recordFolder, size_t count,
                                               std::chrono::milliseconds limit) {
    waitUntil([&] { return readLaunchRecords(recordFolder).size() >= count; }, limit);
    return readLaunchRecords(recordFolder);
}

namespace {

// Nothing when a descriptor vanished while it was read: the program still had
// a file of its own open (the loader reading a library, say).
std::optional<std::map<int, std::string>> openDescriptors(const fs::path& folder) {
    std::map<int, std::string> descriptors;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        std::error_code vanished;
        const auto target = fs::read_symlink(entry.path(), vanished);
        if (vanished) {
            return std::nullopt;
        }
        descriptors[std::stoi(entry.path().filename().string())] = target.string();
    }
    if (error) {
        return std::nullopt;
    }
    return descriptors;
}

} // namespace

std::optional<ProcessView> viewSleepingStandIn(pid_t pid, std::chrono::milliseconds limit) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    // Right after the exec, `sleep` is still being loaded and has files of its
    // own open for a moment. It has started once it sleeps and two looks 50 ms
    // apart agree.
    std::optional<std::map<int, std::string>> settled;
    const bool asleep = waitUntil(
        [&] {
            if (readFile(proc / "comm") != "sleep\n" || processState(pid) != 'S') {
                return false;
            }
            const auto first = openDescriptors(proc / "fd");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const auto second = openDescriptors(proc / "fd");
            if (!first || first != second || processState(pid) != 'S') {
                return false;
            }
            settled = first;
            return true;
        },
        limit);
    const auto session = processSession(pid);
    if (!asleep || !session) {
        return std::nullopt;
    }
    return ProcessView{*settled, *session};
}

} // namespace vantrel::test
