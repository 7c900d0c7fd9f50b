#include "EngineModules.h"

#include <climits>
#include <dlfcn.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

// The modules sit beside the executable.
std::string besideExecutable(const char* fileName) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return fileName;
    }
    const std::string_view self(buffer, static_cast<std::size_t>(length));
    return std::string(self.substr(0, self.rfind('/') + 1)) + fileName;
}

// Kept loaded for the rest of the process, which reads one document. Lazy
// binding: resolving every symbol of poppler up front costs milliseconds.
void* engineEntry(const char* fileName, const char* entryName) {
    void* module = ::dlopen(besideExecutable(fileName).c_str(), RTLD_LAZY | RTLD_LOCAL);
    return module == nullptr ? nullptr : ::dlsym(module, entryName);
}

void assignText(void* context, const char* utf8, std::size_t size) {
    static_cast<std::string*>(context)->assign(utf8, size);
}

} // namespace

VantrelReadPdfText loadPdfEngine() {
    return reinterpret_cast<VantrelReadPdfText>(
        engineEntry(VANTREL_PDF_ENGINE_FILE, VANTREL_PDF_ENGINE_ENTRY));
}

std::optional<std::string> pdfEngineReadText(VantrelReadPdfText read, const std::string& path) {
    std::string text;
    if (read(path.c_str(), assignText, &text) != 1) {
        return std::nullopt;
    }
    return text;
}

} // namespace vantrel::extractor
