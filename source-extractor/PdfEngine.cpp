// The PDF engine module: poppler's text layout, loaded by the extractor only
// when a PDF is dispatched.
#include "EngineModules.h"
#include "PdfPages.h"

#include <memory>
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-page.h>

namespace {

void ignorePopplerMessage(const std::string&, void*) {}

std::optional<std::string> pageText(poppler::document& document, int index) {
    const std::unique_ptr<poppler::page> page(document.create_page(index));
    if (!page) {
        return std::nullopt;
    }
    // Reading order without padding columns: pdftotext's default layout. An
    // empty rectangle means the whole page.
    const poppler::byte_array utf8 =
        page->text(poppler::rectf(), poppler::page::non_raw_non_physical_layout).to_utf8();
    // The layout closes a page with line feeds and a form feed: separators, not
    // text; the join puts its own between pages.
    return vantrel::extractor::withoutLayoutEnding(
        vantrel::extractor::replaceInvalidUtf8(std::string_view(utf8.data(), utf8.size())));
}

} // namespace

extern "C" __attribute__((visibility("default"))) int
vantrel_read_pdf_text(const char* path, VantrelTextSink sink, void* context) {
    // poppler reports syntax errors on stderr, which carries only our message.
    poppler::set_debug_error_function(ignorePopplerMessage, nullptr);
    const std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
    // A document that needs a password we do not have opens locked, and poppler
    // then has no catalog to count pages in. With an empty user password it
    // opens unlocked; owner restrictions limit nothing that reading text does.
    if (!document || document->is_locked()) {
        return 0;
    }
    const int pageCount = document->pages();
    const std::string text = vantrel::extractor::joinPageTexts(
        pageCount, [&](int index) { return pageText(*document, index); });
    sink(context, text.data(), text.size());
    return 1;
}
