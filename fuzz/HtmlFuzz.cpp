// libFuzzer target for the HTML reader: any bytes must give valid UTF-8 that
// ends in at most one line end, of a size in proportion to the input, without
// crashing, hanging or writing anything.
#include "HtmlText.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool isValidUtf8(std::string_view s) {
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

bool endsCleanly(std::string_view s) {
    if (s.empty())
        return true;
    if (s.back() != '\n')
        return false;
    if (s.size() == 1)
        return false; // a text of nothing but a line end should have been empty
    const char before = s[s.size() - 2];
    return before != '\n' && before != ' ' && before != '\t';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view html(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> text = vantrel::extractor::htmlToText(html);
    if (!text)
        std::abort(); // only an allocation failure may give nothing
    if (!isValidUtf8(*text) || !endsCleanly(*text) || text->size() > 16 * size + 16)
        std::abort();
    return 0;
}
