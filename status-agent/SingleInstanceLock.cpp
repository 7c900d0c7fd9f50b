#include "StatusMenuDelegate.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

namespace vantrel {

namespace {

constexpr mode_t runtimeDirectoryMode = 0700;
constexpr mode_t lockFileMode = 0600;

bool isDirectory(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// mkdir -p: every directory created on the way gets the mode exactly, whatever
// the umask; existing directories are kept as they are; a non-directory in the
// way is a failure.
bool createDirectories(const std::filesystem::path& path, mode_t mode) {
    std::filesystem::path prefix;
    for (const auto& component : path) {
        prefix /= component;
        if (isDirectory(prefix)) {
            continue;
        }
        if (::mkdir(prefix.c_str(), mode) == 0) {
            if (::chmod(prefix.c_str(), mode) != 0) {
                return false;
            }
        } else if (errno != EEXIST || !isDirectory(prefix)) {
            // EEXIST with a directory means another process just made it.
            return false;
        }
    }
    return true;
}

} // namespace

bool StatusMenuDelegate::acquireSingleInstanceLock() {
    const auto folders = system->applicationSupportDirectories();
    if (folders.empty()) {
        return false;
    }
    const auto runtimeDirectory = std::filesystem::path(folders.front()) / "Vantrel" / "runtime";
    if (!createDirectories(runtimeDirectory, runtimeDirectoryMode)) {
        return false;
    }
    // A directory left with wider permissions is narrowed on every start.
    if (::chmod(runtimeDirectory.c_str(), runtimeDirectoryMode) != 0) {
        return false;
    }

    const auto lockPath = runtimeDirectory / "status-menu.lock";
    // Close-on-exec: a relaunched Vantrel must not inherit the lock and keep it
    // after the agent quits. No O_TRUNC: an existing lock file is left as it is.
    lockDescriptor =
        ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, lockFileMode);
    if (lockDescriptor < 0) {
        return false;
    }
    ::fchmod(lockDescriptor, lockFileMode);
    // On refusal the descriptor stays open; termination's clean-up closes it.
    return ::flock(lockDescriptor, LOCK_EX | LOCK_NB) == 0;
}

} // namespace vantrel
