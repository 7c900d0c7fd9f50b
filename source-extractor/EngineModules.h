// The readers whose libraries are heavy to load (poppler for PDF, libxml2 with
// ICU for HTML) live in modules beside the executable, loaded only when a
// document of their kind is dispatched: a small RTF run must not pay their
// start-up cost. Only plain C crosses the module boundary.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

extern "C" {

// Receives the document's whole text once.
typedef void (*VantrelTextSink)(void* context, const char* utf8, std::size_t size);

// Reads the PDF at `path`, a regular file. Returns 1 and calls `sink` once on
// success, 0 when the document cannot be opened.
typedef int (*VantrelReadPdfText)(const char* path, VantrelTextSink sink, void* context);

// Converts HTML bytes. Returns 1 and calls `sink` once on success, 0 when no
// document can be made of them.
typedef int (*VantrelHtmlToText)(const char* html, std::size_t size, VantrelTextSink sink,
                                 void* context);
}

#define VANTREL_PDF_ENGINE_FILE "vantrel-pdf-engine.so"
#define VANTREL_PDF_ENGINE_ENTRY "vantrel_read_pdf_text"
#define VANTREL_HTML_ENGINE_FILE "vantrel-html-engine.so"
#define VANTREL_HTML_ENGINE_ENTRY "vantrel_html_to_text"

namespace vantrel::extractor {

// Loading and calling are apart so that the process can confine itself in
// between: every module is loaded before the first byte of a document is parsed.

// The engines' entry points; null when the module cannot be loaded.
VantrelReadPdfText loadPdfEngine();
VantrelHtmlToText loadHtmlEngine();

// Through the PDF engine; nothing when the document cannot be opened.
std::optional<std::string> pdfEngineReadText(VantrelReadPdfText read, const std::string& path);

// Through the HTML engine; nothing when no document can be made.
std::optional<std::string> htmlEngineToText(VantrelHtmlToText convert, std::string_view html);

} // namespace vantrel::extractor
