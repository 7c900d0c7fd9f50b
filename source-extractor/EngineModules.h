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

// Through the PDF engine; nothing when it cannot be loaded or the document opened.
std::optional<std::string> pdfEngineReadText(const std::string& path);

// Through the HTML engine; nothing when it cannot be loaded or no document made.
std::optional<std::string> htmlEngineToText(std::string_view html);

} // namespace vantrel::extractor
