// The HTML engine module: libxml2 (and the ICU it brings), loaded by the
// extractor only when an HTML document is dispatched.
#include "EngineModules.h"
#include "HtmlText.h"

extern "C" __attribute__((visibility("default"))) int
vantrel_html_to_text(const char* html, std::size_t size, VantrelTextSink sink, void* context) {
    const auto text = vantrel::extractor::htmlToText(std::string_view(html, size));
    if (!text) {
        return 0;
    }
    sink(context, text->data(), text->size());
    return 1;
}
