#include "text/Utf16Text.h"

#include "text/Utf8.h"

namespace vantrel::extractor {
namespace {

bool isHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// `unitAt(i)` reads the i-th of `count` code units.
template <typename UnitAt> void appendUtf16(std::string& out, std::size_t count, UnitAt unitAt) {
    out.reserve(out.size() + count + count / 2);
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t unit = unitAt(i);
        if (isHighSurrogate(unit) && i + 1 < count && isLowSurrogate(unitAt(i + 1))) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (unitAt(i + 1) - 0xDC00));
            ++i;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(out, kReplacementCharacter);
        } else {
            appendUtf8(out, unit);
        }
    }
}

} // namespace

std::string utf8FromUtf16(const std::uint16_t* units, std::size_t count) {
    std::string out;
    appendUtf16(out, count, [units](std::size_t i) -> char32_t { return units[i]; });
    return out;
}

std::string utf8FromUtf16Bytes(std::string_view bytes, bool bigEndian) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string out;
    appendUtf16(out, bytes.size() / 2, [p, bigEndian](std::size_t i) -> char32_t {
        const char32_t first = p[2 * i];
        const char32_t second = p[2 * i + 1];
        return bigEndian ? (first << 8 | second) : (second << 8 | first);
    });
    if (bytes.size() % 2 != 0) {
        appendUtf8(out, kReplacementCharacter);
    }
    return out;
}

} // namespace vantrel::extractor
