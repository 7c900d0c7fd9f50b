// UTF-16 to UTF-8: for the HTML reader's UTF-16 documents and the text of the
// macOS readers' platform strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel::extractor {

// UTF-16 code units (as the platform's strings hold them) to UTF-8. A lone
// surrogate becomes U+FFFD, so one bad unit costs one character, not the text.
// U+0000 is kept.
std::string utf8FromUtf16(const std::uint16_t* units, std::size_t count);

// The same for UTF-16 held as bytes in the given order; a lone last byte also
// becomes U+FFFD.
std::string utf8FromUtf16Bytes(std::string_view bytes, bool bigEndian);

} // namespace vantrel::extractor
