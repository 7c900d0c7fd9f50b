// libFuzzer target for the RTF reader: any bytes must give valid UTF-8 of a
// size in proportion to the input, without crashing or hanging.
#include "RtfText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        size_t len = b < 0x80           ? 1
                     : (b >> 5) == 0x6  ? 2
                     : (b >> 4) == 0xE  ? 3
                     : (b >> 3) == 0x1E ? 4
                                        : 0;
        if (len == 0 || i + len > s.size()) {
            return false;
        }
        char32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rtf(reinterpret_cast<const char*>(data), size);
    std::string text = vantrel::extractor::rtfToText(rtf);
    // Three output bytes per input byte at most (one raw byte can become a
    // three-byte character), plus the line ends that set notes apart.
    if (!isValidUtf8(text) || text.size() > size * 3 + 8) {
        std::abort();
    }
    return 0;
}
