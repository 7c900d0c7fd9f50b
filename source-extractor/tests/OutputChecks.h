// What any text a reader gives back must look like, whatever the input: shared
// by the readers' tests and their fuzz targets.
#pragma once

#include <cstddef>
#include <string_view>

namespace vantrel::extractor::test {

// Shortest-form UTF-8 of Unicode scalar values: no surrogates, nothing past U+10FFFF.
inline bool isValidUtf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t length = lead < 0x80           ? 1
                                   : (lead >> 5) == 0x6  ? 2
                                   : (lead >> 4) == 0xE  ? 3
                                   : (lead >> 3) == 0x1E ? 4
                                                         : 0;
        if (length == 0 || i + length > s.size())
            return false;
        char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto trail = static_cast<unsigned char>(s[i + k]);
            if ((trail & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (trail & 0x3F);
        }
        const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

// The HTML reader's ending: nothing at all, or text that ends in exactly one
// line end with no white space before it.
inline bool endsInOneCleanLineEnd(std::string_view s) {
    if (s.empty())
        return true;
    if (s.size() == 1 || s.back() != '\n')
        return false; // a text of nothing but a line end should have been empty
    const char before = s[s.size() - 2];
    return before != '\n' && before != ' ' && before != '\t';
}

} // namespace vantrel::extractor::test
