#pragma once

#include <string_view>

namespace vantrel::extractor {

// True when the UTF-8 text holds nothing but white space and line ends: the
// characters of Unicode categories Zs, Zl and Zp, U+0009-U+000D and U+0085.
// Bytes that are not valid UTF-8 count as text.
bool isBlank(std::string_view utf8);

} // namespace vantrel::extractor
