// UTF-8, once for the whole extractor: the encoder, the decoder and validator,
// and the repair of bytes that claim to be UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::extractor {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Writes c to out, which has room for four bytes, and returns how many it
// wrote. Surrogates and values past U+10FFFF, which are no characters, become
// U+FFFD. Inline: the RTF reader writes every escaped character through it.
inline std::size_t encodeUtf8(char32_t c, char* out) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = kReplacementCharacter;
    }
    auto* d = reinterpret_cast<unsigned char*>(out);
    if (c < 0x80) {
        d[0] = static_cast<unsigned char>(c);
        return 1;
    }
    if (c < 0x800) {
        d[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
        d[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        d[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
        d[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        d[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        return 3;
    }
    d[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    d[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    d[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    d[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 4;
}

inline void appendUtf8(std::string& out, char32_t c) {
    char bytes[4];
    out.append(bytes, encodeUtf8(c, bytes));
}

// What starts at a position of UTF-8 input.
struct Utf8Sequence {
    bool valid;
    // A valid sequence's length; otherwise the length of the maximal invalid
    // subpart (at least one byte), which one U+FFFD replaces.
    std::size_t length;
    bool cut; // invalid only because the input ended inside it
};

// The sequence at p, which must be before end. Overlong forms, encoded
// surrogates (ED A0..BF) and values past U+10FFFF are invalid.
Utf8Sequence utf8SequenceAt(const unsigned char* p, const unsigned char* end);

// The first byte at or after p that is not ASCII, or end.
const unsigned char* skipAscii(const unsigned char* p, const unsigned char* end);

// Decodes the character at i and moves i past it; false, with i unmoved, when
// the bytes there are not well formed.
bool decodeUtf8(std::string_view text, std::size_t& i, char32_t& c);

bool isValidUtf8(std::string_view text);

// The bytes as valid UTF-8: well-formed sequences are kept and each maximal
// invalid subpart becomes one U+FFFD.
std::string replaceInvalidUtf8(std::string_view bytes);

} // namespace vantrel::extractor
