#include "text/BlankText.h"

#include "text/Utf8.h"

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

} // namespace

bool isBlank(std::string_view utf8) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        char32_t c = 0;
        if (!decodeUtf8(utf8, i, c) || !isWhiteSpaceOrNewline(c)) {
            return false;
        }
    }
    return true;
}

} // namespace vantrel::extractor
