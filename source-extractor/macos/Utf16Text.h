#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vantrel::extractor {

// UTF-16 code units (as the platform's strings hold them) to UTF-8. A lone
// surrogate becomes U+FFFD, so one bad unit costs one character, not the text.
std::string utf8FromUtf16(const std::uint16_t* units, std::size_t count);

} // namespace vantrel::extractor
