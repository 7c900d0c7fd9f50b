#include "PdfPages.h"

#include "BlankText.h"

namespace vantrel::extractor {

std::string joinPageTexts(int pageCount,
                          const std::function<std::optional<std::string>(int)>& pageText) {
    std::string joined;
    bool first = true;
    for (int index = 0; index < pageCount; ++index) {
        const auto text = pageText(index);
        if (!text || isBlank(*text)) {
            continue;
        }
        if (!first) {
            joined += "\n\n";
        }
        joined += *text;
        first = false;
    }
    return joined;
}

std::string withoutLayoutEnding(std::string text) {
    if (!text.empty() && text.back() == '\f') {
        text.pop_back();
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// A damaged text map can give lone surrogates or stray bytes, and our output
// must be UTF-8. Local to the PDF engine until a shared UTF-8 module exists.
std::string replaceInvalidUtf8(std::string_view text) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        // The second byte's bounds shut out overlong forms, surrogates and
        // values past U+10FFFF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        // How many bytes form a valid prefix of the sequence the lead starts.
        std::size_t valid = length == 0 ? 0 : 1;
        while (valid < length && i + valid < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + valid]);
            const unsigned char min = valid == 1 ? low : 0x80;
            const unsigned char max = valid == 1 ? high : 0xBF;
            if (next < min || next > max) {
                break;
            }
            ++valid;
        }
        if (length != 0 && valid == length) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += replacement;
            i += valid == 0 ? 1 : valid;
        }
    }
    return out;
}

} // namespace vantrel::extractor
