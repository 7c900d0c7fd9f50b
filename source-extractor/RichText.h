#pragma once

#include <optional>
#include <string>

namespace vantrel::extractor {

// Reads an RTF or HTML document, deciding the format from the content as the
// platform's document reader does: an RTF signature ("{\rtf" after optional
// white space) means RTF, anything else is read as HTML. Nothing when the file
// cannot be opened or read, or is not a regular file. `beforeParsing`, if
// given, is called once the file is open and its reader ready, before the
// first byte is parsed: the command-line run confines itself there.
std::optional<std::string> readRichText(const std::string& path, void (*beforeParsing)() = nullptr);

} // namespace vantrel::extractor
