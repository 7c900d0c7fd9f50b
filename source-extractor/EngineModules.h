// The PDF reader, whose library is heavy to load (poppler), lives in a module
// beside the executable, loaded only when a PDF is dispatched: a small RTF or
// HTML run must not pay its start-up cost. Only plain C crosses the module
// boundary.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

extern "C" {

// Receives the document's whole text once.
typedef void (*VantrelTextSink)(void* context, const char* utf8, std::size_t size);

// Reads the PDF at `path`, a regular file. Returns 1 and calls `sink` once on
// success, 0 when the document cannot be opened.
typedef int (*VantrelReadPdfText)(const char* path, VantrelTextSink sink, void* context);
}

#define VANTREL_PDF_ENGINE_FILE "vantrel-pdf-engine.so"
#define VANTREL_PDF_ENGINE_ENTRY "vantrel_read_pdf_text"

namespace vantrel::extractor {

// Loading and calling are apart so that the process can confine itself in
// between: the module is loaded before the first byte of a document is parsed.

// The engine's entry point; null when the module cannot be loaded.
VantrelReadPdfText loadPdfEngine();

// Through the PDF engine; nothing when the document cannot be opened.
std::optional<std::string> pdfEngineReadText(VantrelReadPdfText read, const std::string& path);

} // namespace vantrel::extractor
