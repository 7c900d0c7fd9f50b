// How the HTML reader turns a document's bytes into UTF-8 for the tokenizer:
// the encoding is chosen the way a browser chooses it for a local file, and
// the bytes are decoded a piece at a time, so that memory does not grow with
// the document and a byte the encoding cannot map costs one U+FFFD.
#pragma once

#include "text/LegacyEncoding.h"

#include <optional>
#include <string>
#include <string_view>

namespace vantrel::extractor {

// The encoding, in this order: a byte-order mark (UTF-8, UTF-16LE, UTF-16BE);
// a charset declared by a <meta> tag near the top of the document; UTF-8 when
// the bytes are UTF-8 (a few damaged sequences among many good ones, or a
// sequence cut off at the very end, still count); otherwise windows-1252.
// Declared ISO-8859-1, Latin-1 and US-ASCII mean windows-1252; a charset that
// is unknown or cannot be decoded here is ignored.
//
// The pieces are UTF-8 without the byte-order mark; a UTF-8 document's
// pieces are its own bytes, uncopied and unchecked (the tokenizer repairs
// them). Bytes another encoding cannot map become U+FFFD; NUL characters are
// kept, for the tokenizer to handle where they stand.
class HtmlDecoder {
  public:
    explicit HtmlDecoder(std::string_view bytes);
    // The next piece, empty once the document is done. Valid until the next call.
    std::string_view next();

  private:
    enum class Kind { Utf8, Utf16Le, Utf16Be, Windows1252, Legacy };

    std::string_view rest_;
    Kind kind_ = Kind::Utf8;
    std::optional<LegacyDecoder> legacy_;
    std::string buffer_;
};

// The encoding a <meta> tag declares within the document's head, as an
// encoding name ("UTF-8", "windows-1252", or a name iconv knows), or empty
// when there is none or the label is unknown. Exposed for tests.
std::string declaredHtmlCharset(std::string_view bytes);

} // namespace vantrel::extractor
