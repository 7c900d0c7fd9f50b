// libFuzzer target for the PDF engine module's entry: any bytes must give the
// document's text as valid UTF-8 or a refusal, without crashing or hanging.
// poppler is not instrumented, so only our side of the calls has coverage.
#include "EngineModules.h"
#include "tests/OutputChecks.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int vantrel_read_pdf_text(const char* path, VantrelTextSink sink, void* context);

namespace {

void keepText(void* context, const char* utf8, std::size_t size) {
    static_cast<std::string*>(context)->assign(utf8, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // poppler reads from a path: give it one that names memory, not disk.
    const int fd = ::memfd_create("fuzz.pdf", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    std::string text;
    if (vantrel_read_pdf_text(path.c_str(), keepText, &text) == 1 &&
        !vantrel::extractor::test::isValidUtf8(text)) {
        std::abort();
    }
    ::close(fd);
    return 0;
}
