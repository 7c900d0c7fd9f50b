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

// Through the PDF engine; nothing when it cannot be loaded or the document opened.
std::optional<std::string> pdfEngineReadText(const std::string& path);

} // namespace vantrel::extractor
