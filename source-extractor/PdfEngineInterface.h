// The boundary between the extractor and its PDF engine module: plain C, so
// that nothing but a function pointer crosses the dlopen boundary.
#pragma once

#include <cstddef>

extern "C" {

// Receives the document's whole text once.
typedef void (*VantrelTextSink)(void* context, const char* utf8, std::size_t size);

// Reads the PDF at `path` (a regular file; the caller checks). Returns 1 and
// calls `sink` once on success, 0 when the document cannot be opened.
typedef int (*VantrelReadPdfText)(const char* path, VantrelTextSink sink, void* context);

#define VANTREL_PDF_ENGINE_FILE "vantrel-pdf-engine.so"
#define VANTREL_PDF_ENGINE_ENTRY "vantrel_read_pdf_text"
}
