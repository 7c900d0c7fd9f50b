#include "PdfText.h"

#include "PdfEngineInterface.h"

#include <climits>
#include <dlfcn.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

// The engine sits beside the executable.
std::string engineModulePath() {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return VANTREL_PDF_ENGINE_FILE;
    }
    std::string_view self(buffer, static_cast<std::size_t>(length));
    return std::string(self.substr(0, self.rfind('/') + 1)) + VANTREL_PDF_ENGINE_FILE;
}

// poppler opens the path itself, and opening a FIFO for reading would block:
// check first, without blocking, that the path names a regular file.
bool isReadableRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular;
}

} // namespace

std::optional<std::string> readPDFText(const std::string& path) {
    if (!isReadableRegularFile(path)) {
        return std::nullopt;
    }
    // Kept loaded for the rest of the process, which reads one document.
    void* module = ::dlopen(engineModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return std::nullopt;
    }
    const auto read =
        reinterpret_cast<VantrelReadPdfText>(::dlsym(module, VANTREL_PDF_ENGINE_ENTRY));
    if (read == nullptr) {
        return std::nullopt;
    }
    std::string text;
    const auto sink = [](void* context, const char* utf8, std::size_t size) {
        static_cast<std::string*>(context)->assign(utf8, size);
    };
    if (read(path.c_str(), sink, &text) != 1) {
        return std::nullopt;
    }
    return text;
}

} // namespace vantrel::extractor
