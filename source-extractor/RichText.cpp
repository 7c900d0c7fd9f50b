#include "RichText.h"

#include "EngineModules.h"
#include "RtfText.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

bool looksLikeRtf(std::string_view content) {
    const auto start = content.find_first_not_of(" \t\r\n\f\v");
    return start != std::string_view::npos && content.substr(start).starts_with("{\\rtf");
}

} // namespace

std::optional<std::string> readRegularFile(const std::string& path) {
    // O_NONBLOCK so that opening a FIFO without a writer cannot hang; the type
    // check right after refuses it anyway.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    std::string content;
    content.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            content.resize(content.size() * 2); // the file grew while we read it
        }
        const ssize_t got = ::read(file.get(), content.data() + used, content.size() - used);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    content.resize(used);
    return content;
}

std::optional<std::string> readRichText(const std::string& path) {
    const auto content = readRegularFile(path);
    if (!content) {
        return std::nullopt;
    }
    if (looksLikeRtf(*content)) {
        return rtfToText(*content);
    }
    return htmlEngineToText(*content);
}

} // namespace vantrel::extractor
