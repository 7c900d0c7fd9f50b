#pragma once

#include <optional>
#include <string>

namespace vantrel::extractor {

// The text of a PDF: the non-blank page texts in page order, joined with one
// empty line. Nothing when the document cannot be opened. The PDF engine is a
// module loaded on first use, so runs that never see a PDF do not pay for it.
// `beforeParsing`, if given, is called once the file has been checked and the
// engine loaded, before poppler reads the first byte: the command-line run
// confines itself there.
std::optional<std::string> readPDFText(const std::string& path, void (*beforeParsing)() = nullptr);

} // namespace vantrel::extractor
