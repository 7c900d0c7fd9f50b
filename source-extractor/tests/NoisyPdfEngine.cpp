// A stand-in PDF engine for the tests that prints its own diagnostics on
// descriptor 2, as engines and frameworks do.
// It gives the document's bytes as its text, or fails when they hold "fail".
#include "EngineModules.h"

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) int
vantrel_read_pdf_text(const char* path, VantrelTextSink sink, void* context) {
    constexpr std::string_view direct = "engine: a diagnostic on descriptor 2\n";
    (void)!::write(STDERR_FILENO, direct.data(), direct.size());
    std::ifstream file(path, std::ios::binary);
    const std::string content{std::istreambuf_iterator<char>(file), {}};
    if (!file || content.find("fail") != std::string::npos) {
        return 0;
    }
    sink(context, content.data(), content.size());
    return 1;
}
