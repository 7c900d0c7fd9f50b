// The RTF reader: the visible text of an RTF document, as a word processor's
// "save as plain text" would give it.
#pragma once

#include <string>
#include <string_view>

namespace vantrel::extractor {

// Converts RTF bytes to UTF-8 text. Never fails: malformed or truncated input
// yields whatever text it holds.
std::string rtfToText(std::string_view rtf);

} // namespace vantrel::extractor
