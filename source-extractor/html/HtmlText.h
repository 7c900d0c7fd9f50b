// The HTML reader: the visible text of an HTML document in reading order, as a
// browser's "save as plain text" would give it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::extractor {

// Converts HTML bytes (any encoding the document declares or implies) to UTF-8
// text, as a browser parses them. Nothing only when memory runs out.
std::optional<std::string> htmlToText(std::string_view html);

} // namespace vantrel::extractor
