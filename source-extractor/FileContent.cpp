#include "FileContent.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

bool readAll(int fd, std::size_t sizeHint, std::string& content) {
    content.resize(sizeHint + 4096);
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            content.resize(content.size() * 2);
        }
        const ssize_t got = ::read(fd, content.data() + used, content.size() - used);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    content.resize(used);
    return true;
}

} // namespace

std::optional<FileContent> FileContent::read(const std::string& path) {
    // O_NONBLOCK so that opening a FIFO without a writer cannot hang; the type
    // check right after refuses it anyway.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return std::nullopt;
    }
    FileContent content;
    const auto size = static_cast<std::size_t>(info.st_size);
    if (size > 0) {
        void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
        if (mapping != MAP_FAILED) {
            content.data_ = static_cast<const char*>(mapping);
            content.size_ = size;
            content.mapped_ = true;
            return content;
        }
    }
    if (!readAll(file.get(), size, content.copy_)) {
        return std::nullopt;
    }
    content.data_ = content.copy_.data();
    content.size_ = content.copy_.size();
    return content;
}

FileContent::FileContent(FileContent&& other) noexcept
    : size_(other.size_), mapped_(other.mapped_), copy_(std::move(other.copy_)) {
    data_ = mapped_ ? other.data_ : copy_.data();
    other.data_ = "";
    other.size_ = 0;
    other.mapped_ = false;
}

FileContent::~FileContent() {
    if (mapped_) {
        ::munmap(const_cast<char*>(data_), size_);
    }
}

} // namespace vantrel::extractor
