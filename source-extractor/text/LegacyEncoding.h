// Text in a legacy encoding (Windows and Mac code pages, ISO-8859, the East
// Asian multi-byte sets) to UTF-8, through the C library's iconv.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::extractor {

class LegacyDecoder {
  public:
    // The encoding by its iconv name; see valid().
    explicit LegacyDecoder(const std::string& encoding);
    ~LegacyDecoder();
    LegacyDecoder(LegacyDecoder&& other) noexcept;
    LegacyDecoder& operator=(LegacyDecoder&& other) noexcept;
    LegacyDecoder(const LegacyDecoder&) = delete;
    LegacyDecoder& operator=(const LegacyDecoder&) = delete;

    // False when iconv does not know the encoding.
    bool valid() const;

    // Appends the bytes as UTF-8. A byte the encoding does not define becomes
    // U+FFFD and decoding goes on after it; a character cut off by the end of
    // the bytes becomes one U+FFFD. Each call starts in the initial state.
    void appendUtf8(std::string_view bytes, std::string& out);

    // The same for one piece of a longer text: the state carries over to the
    // next piece, and a character cut off at the end is left undecoded. The
    // bytes decoded; the caller passes the rest again with the next piece,
    // and the last piece to appendUtf8.
    std::size_t appendUtf8Part(std::string_view bytes, std::string& out);

    // Each byte's UTF-8 (up to three bytes, the count in the last entry),
    // when every byte decodes alone to at most one character of the basic
    // plane; nothing for multi-byte encodings and those that combine
    // neighbouring bytes.
    using ByteTable = std::array<std::array<char, 4>, 256>;
    std::optional<ByteTable> singleByteTable();

  private:
    std::size_t decode(std::string_view bytes, std::string& out, bool last);

    void* handle_; // iconv_t, kept out of this header
};

} // namespace vantrel::extractor
