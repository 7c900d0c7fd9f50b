#include "BlankText.h"

#include <cstdint>

namespace vantrel::extractor {
namespace {

bool isWhiteSpaceOrNewline(char32_t c) {
    switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D: // controls
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x202F:
    case 0x205F:
    case 0x3000:
    case 0x2028:
    case 0x2029: // line and paragraph separators
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes one UTF-8 sequence at `i`; false when it is not well formed.
bool decode(std::string_view s, std::size_t& i, char32_t& out) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        out = b0;
        ++i;
        return true;
    }
    int length = 0;
    char32_t c = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        c = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        c = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        c = b0 & 0x07u;
    } else {
        return false;
    }
    if (s.size() - i < static_cast<std::size_t>(length)) {
        return false;
    }
    for (int k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
        if ((b & 0xC0u) != 0x80u) {
            return false;
        }
        c = (c << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < minimum[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return false;
    }
    out = c;
    i += static_cast<std::size_t>(length);
    return true;
}

} // namespace

bool isBlank(std::string_view utf8) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        char32_t c = 0;
        if (!decode(utf8, i, c) || !isWhiteSpaceOrNewline(c)) {
            return false;
        }
    }
    return true;
}

} // namespace vantrel::extractor
