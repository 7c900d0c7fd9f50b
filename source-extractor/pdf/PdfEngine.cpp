// The PDF engine module: poppler's text layout, loaded by the extractor only
// when a PDF is dispatched. It drives poppler's own text output device, as
// pdftotext does: poppler's C++ wrapper would cost one more library to load
// and a round trip of every page through UTF-16 and iconv.
#include "EngineModules.h"
#include "pdf/PdfPages.h"
#include "text/Utf8.h"

#include <Error.h>
#include <GlobalParams.h>
#include <PDFDoc.h>
#include <TextOutputDev.h>
#include <goo/GooString.h>
#include <memory>

namespace {

void ignorePopplerMessage(ErrorCategory, Goffset, const char*) {}

void appendText(void* page, const char* text, int length) {
    (*static_cast<std::string**>(page))->append(text, static_cast<std::size_t>(length));
}

} // namespace

extern "C" __attribute__((visibility("default"))) int
vantrel_read_pdf_text(const char* path, VantrelTextSink sink, void* context) {
    // poppler reports syntax errors on stderr, which carries only our message.
    setErrorCallback(ignorePopplerMessage);
    if (!globalParams) {
        globalParams = std::make_unique<GlobalParams>();
        globalParams->setTextEncoding("UTF-8");
    }
    // A document that needs a password we do not have does not open, nor does
    // one whose decryption fails. With an empty user password it opens; owner
    // restrictions limit nothing that reading text does.
    PDFDoc document(std::make_unique<GooString>(path));
    if (!document.isOk()) {
        return 0;
    }
    // One device for every page, as pdftotext does: it hands over a page's text
    // when the page ends, to whichever string `page` then points at. Reading
    // order without padding columns: pdftotext's default layout.
    std::string* page = nullptr;
    TextOutputDev device(appendText, static_cast<void*>(&page), false, 0, false, false);
    if (!device.isOk()) {
        return 0;
    }
    const std::string text =
        vantrel::extractor::joinPageTexts(document.getNumPages(), [&](int index) {
            std::string pageText;
            page = &pageText;
            document.displayPage(&device, index + 1, 72, 72, 0, false, true, false);
            // The layout closes a page with line feeds and a form feed:
            // separators, not text; the join puts its own between pages.
            return vantrel::extractor::withoutLayoutEnding(
                vantrel::extractor::replaceInvalidUtf8(pageText));
        });
    sink(context, text.data(), text.size());
    return 1;
}
