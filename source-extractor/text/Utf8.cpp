#include "text/Utf8.h"

#include <cstdint>
#include <cstring>

namespace vantrel::extractor {

Utf8Sequence utf8SequenceAt(const unsigned char* p, const unsigned char* end) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {true, 1, false};
    }
    std::size_t trail = 0;
    // The allowed range of the first trail byte rules out overlong forms,
    // surrogates and values past U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return {false, 1, false};
    }
    for (std::size_t i = 1; i <= trail; ++i) {
        if (p + i >= end) {
            return {false, i, true};
        }
        if (p[i] < low || p[i] > high) {
            return {false, i, false};
        }
        low = 0x80;
        high = 0xBF;
    }
    return {true, trail + 1, false};
}

const unsigned char* skipAscii(const unsigned char* p, const unsigned char* end) {
    // Eight bytes at a time: most text in most documents is ASCII.
    while (end - p >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        if ((v & 0x8080808080808080ULL) != 0) {
            break;
        }
        p += 8;
    }
    while (p < end && *p < 0x80) {
        ++p;
    }
    return p;
}

bool decodeUtf8(std::string_view text, std::size_t& i, char32_t& c) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + i;
    const Utf8Sequence sequence = utf8SequenceAt(p, p + (text.size() - i));
    if (!sequence.valid) {
        return false;
    }
    static constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    c = p[0] & kLeadBits[sequence.length];
    for (std::size_t k = 1; k < sequence.length; ++k) {
        c = (c << 6) | (p[k] & 0x3Fu);
    }
    i += sequence.length;
    return true;
}

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while ((p = skipAscii(p, end)) != end) {
        const Utf8Sequence sequence = utf8SequenceAt(p, end);
        if (!sequence.valid) {
            return false;
        }
        p += sequence.length;
    }
    return true;
}

std::string replaceInvalidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    const auto* run = p; // the start of bytes kept as they are
    while ((p = skipAscii(p, end)) != end) {
        const Utf8Sequence sequence = utf8SequenceAt(p, end);
        if (!sequence.valid) {
            out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
            appendUtf8(out, kReplacementCharacter);
            run = p + sequence.length;
        }
        p += sequence.length;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
    return out;
}

} // namespace vantrel::extractor
