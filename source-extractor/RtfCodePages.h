// Code pages of RTF documents: which one a font's charset names, and the
// decoding of the bytes written in it (\'hh escapes and raw 8-bit bytes).
#pragma once

#include <cstdint>
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
bool isDoubleByteCodePage(int codePage);

// True when the byte opens a two-byte character in that code page.
bool isLeadByte(int codePage, unsigned char byte);

// The Unicode character that byte stands for in the Symbol font; 0 for a
// byte that has none.
char32_t symbolToUnicode(unsigned char byte);

// Appends a Unicode scalar value as UTF-8. Surrogates and values past
// U+10FFFF become U+FFFD.
void appendUtf8(char32_t codePoint, std::string& out);

// Converts runs of code-page bytes to UTF-8. Keeps one iconv converter per
// code page for the life of the object; a document uses only a few.
class CodePageDecoder {
  public:
    CodePageDecoder() = default;
    ~CodePageDecoder();
    CodePageDecoder(const CodePageDecoder&) = delete;
    CodePageDecoder& operator=(const CodePageDecoder&) = delete;

    // Appends the bytes as UTF-8; bytes that do not decode become U+FFFD.
    // A code page iconv does not know is read as Windows-1252.
    void decode(int codePage, std::string_view bytes, std::string& out);

  private:
    struct Converter {
        int codePage;
        void* handle; // iconv_t, kept out of this header
        bool owned;   // false where an unknown code page borrows another's
    };
    void* converterFor(int codePage);

    std::vector<Converter> converters_;
};

} // namespace vantrel::extractor::rtf
