#include "StandardStreams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vantrel::extractor {

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

int setStandardErrorAside() {
    // Above the standard three, so that no later open can land on it.
    const int original = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (original < 0) {
        return STDERR_FILENO;
    }
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || ::dup2(null, STDERR_FILENO) < 0) {
        if (null >= 0) {
            ::close(null);
        }
        ::close(original);
        return STDERR_FILENO;
    }
    ::close(null);
    return original;
}

} // namespace vantrel::extractor
