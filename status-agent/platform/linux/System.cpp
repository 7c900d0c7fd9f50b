// Clock, folders, the bundle's location and process starts on Linux.
#include "platform/Platform.h"
#include "platform/linux/Json.h"

#include <fcntl.h>
#include <glib.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>

extern char** environ;

namespace vantrel::platform {
namespace {

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return {};
}

std::string executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

// A child's exit status is collected by the main loop, so finished children
// never linger as zombies. The GLib worker thread that serves this also
// serves the signal sources, so it costs no extra thread.
void reapWhenDone(GPid pid) {
    g_child_watch_add(
        pid, [](GPid child, gint, gpointer) { g_spawn_close_pid(child); }, nullptr);
}

// Starts the program with the null device on every standard stream and no
// other descriptor of ours, default signal handling and an empty signal mask.
// glibc reports a failed exec as an error here, so a missing or
// non-executable file gives false.
bool spawn(const std::string& executable, const std::vector<std::string>& arguments,
           bool newSession) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return false;
    }
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    bool ready = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
                 posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (newSession) {
        flags |= POSIX_SPAWN_SETSID;
    }
    ready = ready && posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
            posix_spawnattr_setsigdefault(&attributes, &all) == 0 &&
            posix_spawnattr_setflags(&attributes, flags) == 0;

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    const bool started = ready && posix_spawn(&pid, executable.c_str(), &actions, &attributes,
                                              argv.data(), environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (started) {
        reapWhenDone(pid);
    }
    return started;
}

class LinuxSystem final : public System {
  public:
    double now() override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }

    // XDG_DATA_HOME when it is an absolute path (relative ones are invalid by
    // the XDG rules), else ~/.local/share.
    std::vector<std::string> applicationSupportDirectories() override {
        if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
            return {withoutTrailingSlashes(data)};
        }
        const std::string home = homeDirectory();
        if (home.empty()) {
            return {};
        }
        return {withoutTrailingSlashes(home) + "/.local/share"};
    }

    // An executable at X/Contents/MacOS/NAME belongs to the bundle X; any other
    // executable's bundle is its own folder.
    std::string mainBundlePath() override {
        const std::filesystem::path folder = std::filesystem::path(executablePath()).parent_path();
        if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
            return folder.parent_path().parent_path().string();
        }
        return folder.string();
    }

    bool isExecutableFile(const std::string& path) override {
        struct stat status {};
        return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
               access(path.c_str(), X_OK) == 0;
    }

    bool launchProcess(const std::string& executable,
                       const std::vector<std::string>& arguments) override {
        return spawn(executable, arguments, false);
    }

    // The application starts in a session of its own, so it outlives the agent
    // and takes no signal meant for the agent's terminal or process group.
    void openApplicationAsNewInstance(const std::string& bundlePath,
                                      std::function<void(bool opened)> completion) override {
        const std::string executable =
            withoutTrailingSlashes(bundlePath) + "/Contents/MacOS/Vantrel";
        const bool opened = !bundlePath.empty() && spawn(executable, {}, true);
        completion(opened);
    }

    std::optional<std::string> jsonTopLevelStringMember(std::string_view json,
                                                        std::string_view key) const override {
        return json::topLevelStringMember(json, key);
    }
};

} // namespace

std::unique_ptr<System> createSystem() {
    return std::make_unique<LinuxSystem>();
}

} // namespace vantrel::platform
