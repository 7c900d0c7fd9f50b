#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::extractor {

// The bytes of a regular file. A file with a size is mapped read-only rather
// than copied: copying a large document costs more than parsing it. If the
// file shrinks while mapped, reading past its new end raises SIGBUS; the
// command-line run turns that into a read failure.
class FileContent {
  public:
    // Nothing for a missing or unreadable file, a directory, a FIFO or a device;
    // never blocks on any of them.
    static std::optional<FileContent> read(const std::string& path);

    FileContent(FileContent&& other) noexcept;
    FileContent& operator=(FileContent&&) = delete;
    FileContent(const FileContent&) = delete;
    FileContent& operator=(const FileContent&) = delete;
    ~FileContent();

    std::string_view bytes() const { return {data_, size_}; }

  private:
    FileContent() = default;

    const char* data_ = "";
    std::size_t size_ = 0;
    bool mapped_ = false;
    // Files that report no size (as /proc's do) or cannot be mapped are read.
    std::string copy_;
};

} // namespace vantrel::extractor
