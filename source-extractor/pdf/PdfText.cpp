#include "pdf/PdfText.h"

#include "EngineModules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

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

std::optional<std::string> readPDFText(const std::string& path, void (*beforeParsing)()) {
    if (!isReadableRegularFile(path)) {
        return std::nullopt;
    }
    const VantrelReadPdfText read = loadPdfEngine();
    if (read == nullptr) {
        return std::nullopt;
    }
    if (beforeParsing != nullptr) {
        beforeParsing();
    }
    return pdfEngineReadText(read, path);
}

} // namespace vantrel::extractor
