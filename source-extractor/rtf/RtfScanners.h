// The RTF reader's fast scanners: they run over picture data, plain text and
// numeric parameters many bytes at a time. Inline, as each runs per byte or
// per word in the reader's loop.
#pragma once

#include "rtf/RtfOutput.h"
#include "text/Utf8.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vantrel::extractor::rtf {

// Byte classes for the scanning loops.
enum : uint8_t { kPlain, kSpecial, kTab, kIgnore, kHigh };

constexpr std::array<uint8_t, 256> makeClasses() {
    std::array<uint8_t, 256> c{};
    for (int i = 0; i < 256; ++i) {
        c[i] = i >= 0x80 ? kHigh : (i < 0x20 || i == 0x7F) ? kIgnore : kPlain;
    }
    c['\t'] = kTab;
    c['\\'] = kSpecial;
    c['{'] = kSpecial;
    c['}'] = kSpecial;
    return c;
}
inline constexpr std::array<uint8_t, 256> kClass = makeClasses();

// Sixteen bytes at a time, in the compiler's portable vector types (SSE2 on
// x86-64, NEON on ARM): picture data runs for many kilobytes without a brace
// or backslash, and text runs for dozens of letters.
using Bytes16 = unsigned char __attribute__((vector_size(16)));
using SignedBytes16 = signed char __attribute__((vector_size(16)));

inline Bytes16 load16(const unsigned char* p) {
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The index of the first set lane of a comparison result, or 16 for none.
inline size_t firstSet(SignedBytes16 mask) {
    uint64_t lo;
    uint64_t hi;
    std::memcpy(&lo, &mask, sizeof lo);
    std::memcpy(&hi, reinterpret_cast<const char*>(&mask) + sizeof lo, sizeof hi);
    // Without a branch on which half: run lengths are too random to predict.
    auto inLo = static_cast<size_t>(std::countr_zero(lo)) / 8;
    auto inHi = static_cast<size_t>(std::countr_zero(hi)) / 8;
    return inLo < 8 ? inLo : 8 + inHi;
}

inline SignedBytes16 specials(Bytes16 v) {
    return (v == '{') | (v == '}') | (v == '\\');
}

inline bool any(SignedBytes16 mask) {
    uint64_t lo;
    uint64_t hi;
    std::memcpy(&lo, &mask, sizeof lo);
    std::memcpy(&hi, reinterpret_cast<const char*>(&mask) + sizeof lo, sizeof hi);
    return (lo | hi) != 0;
}

// The first '{', '}' or '\\' at or after p.
inline const unsigned char* findSpecial(const unsigned char* p, const unsigned char* end) {
    while (end - p >= 64) {
        SignedBytes16 a = specials(load16(p));
        SignedBytes16 b = specials(load16(p + 16));
        SignedBytes16 c = specials(load16(p + 32));
        SignedBytes16 d = specials(load16(p + 48));
        if (any(a | b | c | d)) {
            break; // found below, sixteen bytes at a time
        }
        p += 64;
    }
    while (end - p >= 16) {
        size_t i = firstSet(specials(load16(p)));
        if (i < 16) {
            return p + i;
        }
        p += 16;
    }
    while (p < end && kClass[*p] != kSpecial) {
        ++p;
    }
    return p;
}

// Stops a run of text: bytes that are not kPlain.
inline SignedBytes16 plainStops(Bytes16 v) {
    // Signed, bytes from 0x80 up compare below the space as well.
    return (std::bit_cast<SignedBytes16>(v) < ' ') | (v == 0x7F) | specials(v);
}

// The end of the run of kPlain bytes starting at p.
inline const unsigned char* findPlainEnd(const unsigned char* p, const unsigned char* end) {
    while (end - p >= 16) {
        size_t i = firstSet(plainStops(load16(p)));
        if (i < 16) {
            return p + i;
        }
        p += 16;
    }
    while (p < end && kClass[*p] == kPlain) {
        ++p;
    }
    return p;
}

inline bool isLetter(unsigned char c) {
    return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}
inline bool isDigit(unsigned char c) {
    return static_cast<unsigned char>(c - '0') < 10;
}
inline int hexValue(unsigned char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The numeric parameter of a control word at p and its delimiting space, if
// any; false when there is no parameter. Inlined into both hot callers.
[[gnu::always_inline]] inline bool readParameter(const unsigned char*& p, const unsigned char* end,
                                                 int32_t& n) {
    int64_t param = 0;
    bool negative = false;
    if (p < end && *p == '-' && p + 1 < end && isDigit(p[1])) {
        negative = true;
        ++p;
    }
    const unsigned char* digits = p;
    size_t count = 8;
    if (end - p >= 8) {
        // Up to seven digits at once, without a branch per digit: numbers
        // of every length follow each other, so a loop's exit is a guess.
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        uint64_t values = word ^ 0x3030303030303030u; // digits become 0 to 9
        uint64_t nonDigits = ((values + 0x7676767676767676u) | values) & 0x8080808080808080u;
        count = static_cast<size_t>(std::countr_zero(nonDigits)) / 8;
        if (count > 0 && count < 8) {
            // Parse the digits as eight, the missing leading ones zero: the
            // first digit sits in the lowest byte.
            uint64_t v = values << (8 * (8 - count));
            v = ((v & 0x0F0F0F0F0F0F0F0Fu) * 2561) >> 8;
            v = ((v & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
            v = ((v & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
            param = static_cast<int64_t>(v);
            p += count;
        }
    }
    if (count == 8) {
        while (p < end && isDigit(*p)) {
            // Held below a bound past any real value, so it cannot overflow.
            param = std::min<int64_t>(param * 10 + (*p - '0'), 100000000000);
            ++p;
        }
    }
    const bool hasParam = p != digits;
    if (p < end && *p == ' ') {
        ++p; // the delimiting space belongs to the word
    }
    n = static_cast<int32_t>(std::clamp<int64_t>(negative ? -param : param, INT32_MIN, INT32_MAX));
    return hasParam;
}

// A \uN escape at p whose character goes straight to the text: not a
// surrogate or a control character, which need the reader's state. False,
// with p unmoved, for anything else.
inline bool readPlainUnicode(const unsigned char*& p, const unsigned char* end, char32_t& cp) {
    if (end - p < 3 || p[1] != 'u' ||
        !(isDigit(p[2]) || (p[2] == '-' && end - p > 3 && isDigit(p[3])))) {
        return false;
    }
    const unsigned char* q = p + 2;
    int32_t n = 0;
    readParameter(q, end, n);
    int64_t value = n < 0 ? int64_t{n} + 65536 : n;
    cp = value < 0 || value > 0x10FFFF ? kReplacementCharacter : static_cast<char32_t>(value);
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp < 0x20 || cp == 0x7F) {
        return false;
    }
    p = q;
    return true;
}

// Skips the fallback after \uN as the main loop would read it, for the usual
// forms: \'hh escapes and plain ASCII characters. Anything else is left to the
// main loop, with `remaining` still counting.
[[gnu::always_inline]] inline const unsigned char*
skipFallback(const unsigned char* p, const unsigned char* end, int& remaining, bool fontTable) {
    while (remaining > 0 && p < end) {
        if (*p == '\\') {
            if (end - p < 4 || p[1] != '\'' || hexValue(p[2]) < 0 || hexValue(p[3]) < 0) {
                break;
            }
            p += 4;
        } else if (kClass[*p] != kPlain || fontTable) {
            // The font table reads a fallback character as a name; a raw
            // high byte may open a two-byte character the reader must see.
            break;
        } else {
            ++p;
        }
        --remaining;
    }
    return p;
}

// Appends the run of kPlain bytes starting at p; returns its end. Whole
// blocks are stored and only the run's part of them kept, which saves a
// copy call for the short runs between escapes.
inline const unsigned char* copyPlainRun(const unsigned char* p, const unsigned char* end,
                                         Output& out) {
    while (end - p >= 16) {
        Bytes16 v = load16(p);
        size_t n = firstSet(plainStops(v));
        std::memcpy(out.room(sizeof v), &v, sizeof v);
        out.commit(n);
        p += n;
        if (n < sizeof v) {
            return p;
        }
    }
    const unsigned char* start = p;
    while (p < end && kClass[*p] == kPlain) {
        ++p;
    }
    out.append(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
    return p;
}

// The byte two hex digits give; -1 when they are not both hex digits.
inline int hexPair(unsigned char hi, unsigned char lo) {
    int h = hexValue(hi);
    int l = hexValue(lo);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

} // namespace vantrel::extractor::rtf
