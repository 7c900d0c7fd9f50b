// Code pages of RTF documents: which one a font's charset names, and the
// decoding of the bytes written in it (\'hh escapes and raw 8-bit bytes).
#pragma once

#include "text/LegacyEncoding.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::extractor::rtf {

// Windows' pseudo code page for symbol fonts; decoded by our own table
// because iconv has no Symbol encoding.
inline constexpr int kSymbolCodePage = 42;
inline constexpr int kDefaultCodePage = 1252;

// The code page an RTF \fcharsetN names, or 0 when the document's own
// default applies (ANSI, "default", and charsets we do not know).
int codePageForCharset(int charset);

// True for the code pages where one character may take two bytes.
constexpr bool isDoubleByteCodePage(int codePage) {
    switch (codePage) {
    case 932:
    case 936:
    case 949:
    case 950:
    case 1361:
    case 10001:
    case 10002:
    case 10003:
    case 10008:
        return true;
    default:
        return false;
    }
}

// True when the byte opens a two-byte character in that code page. Inline:
// it runs for every byte of text written in a code page.
constexpr bool isLeadByte(int codePage, unsigned char byte) {
    if (byte < 0x81) {
        return false;
    }
    if (codePage == 932 || codePage == 10001) {
        return byte <= 0x9F || (byte >= 0xE0 && byte <= 0xFC);
    }
    return isDoubleByteCodePage(codePage) && byte <= 0xFE;
}

// True when the byte may follow a lead byte in that code page. Such a byte
// may be a backslash or a brace, which then belongs to the character.
constexpr bool isTrailByte(int codePage, unsigned char byte) {
    switch (codePage) {
    case 932:
    case 10001:
        return byte >= 0x40 && byte <= 0xFC && byte != 0x7F;
    case 936:
        return byte >= 0x40 && byte <= 0xFE && byte != 0x7F;
    case 949: // Korean (UHC): letters and high bytes only
        return (byte >= 0x41 && byte <= 0x5A) || (byte >= 0x61 && byte <= 0x7A) || byte >= 0x81;
    case 950:
    case 10002:
        return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0xA1 && byte <= 0xFE);
    case 1361:
        return (byte >= 0x31 && byte <= 0x7E) || (byte >= 0x91 && byte <= 0xFE);
    case 10003:
    case 10008:
        return byte >= 0xA1 && byte <= 0xFE;
    default:
        return false;
    }
}

// The code page a font's name implies when the font names no charset, as
// word processors read "Times New Roman Cyr" or "Arial (Hebrew)"; 0 for
// none.
int codePageForFontName(std::string_view name);

// The Unicode character that byte stands for in the Symbol font; 0 for a
// byte that has none.
char32_t symbolToUnicode(unsigned char byte);

// Converts runs of code-page bytes to UTF-8. Keeps one decoder per code page
// for the life of the object; a document uses only a few.
class CodePageDecoder {
  public:
    // The bytes as UTF-8, valid until the next call; bytes that do not
    // decode become U+FFFD. A code page iconv does not know is read as
    // Windows-1252.
    std::string_view decode(int codePage, std::string_view bytes);

  private:
    struct Converter {
        int codePage;
        LegacyDecoder decoder;
        // Single-byte code pages decode by table once a document has used
        // them for a few runs: one iconv call per escape is the slow part
        // of text written in \'hh escapes.
        int runs = 0;
        std::optional<LegacyDecoder::ByteTable> table;
    };
    Converter& converterFor(int codePage);

    std::vector<Converter> converters_;
    std::string decoded_;
};

} // namespace vantrel::extractor::rtf
