#include "StatusMenuDelegate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace vantrel {

namespace {

// Closes the descriptor on every way out.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : descriptor_(fd) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return descriptor_; }

  private:
    int descriptor_;
};

std::optional<std::string> readAll(int fd) {
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            content.append(buffer, static_cast<std::size_t>(count));
        } else if (count == 0) {
            return content;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

// ASCII white space and line breaks; the only ones an ASCII file can hold.
constexpr const char* trimmedCharacters = " \t\n\v\f\r";

} // namespace

std::optional<std::string> StatusMenuDelegate::readDesiredState() {
    const auto folders = system->applicationSupportDirectories();
    if (folders.empty()) {
        return std::nullopt;
    }
    const auto path =
        std::filesystem::path(folders.front()) / "Vantrel" / "runtime" / "desired-state";

    // The checks are made on the opened file, so nothing can be swapped in
    // between them and the read. O_NOFOLLOW refuses a symbolic link at the path;
    // O_NONBLOCK keeps a FIFO from blocking the open (it fails the checks anyway).
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 077) != 0 ||
        info.st_uid != ::getuid()) {
        return std::nullopt;
    }

    const auto content = readAll(file.get());
    if (!content) {
        return std::nullopt;
    }
    // ASCII only: a single byte above 0x7F makes the file unreadable.
    if (std::any_of(content->begin(), content->end(),
                    [](char c) { return static_cast<unsigned char>(c) > 0x7F; })) {
        return std::nullopt;
    }
    const auto first = content->find_first_not_of(trimmedCharacters);
    if (first == std::string::npos) {
        return std::nullopt;
    }
    const auto last = content->find_last_not_of(trimmedCharacters);
    const auto word = content->substr(first, last - first + 1);
    if (word == "running" || word == "stopped") {
        return word;
    }
    return std::nullopt;
}

} // namespace vantrel
