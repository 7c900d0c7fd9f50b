// A stand-in HTML engine for the tests that prints its own diagnostics on
// descriptor 2, as engines and frameworks do.
// It gives the document's bytes as its text, or fails when they hold "fail".
#include "EngineModules.h"

#include <string_view>
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) int
vantrel_html_to_text(const char* html, std::size_t size, VantrelTextSink sink, void* context) {
    constexpr std::string_view direct = "engine: a diagnostic on descriptor 2\n";
    (void)!::write(STDERR_FILENO, direct.data(), direct.size());
    if (std::string_view(html, size).find("fail") != std::string_view::npos) {
        return 0;
    }
    sink(context, html, size);
    return 1;
}
