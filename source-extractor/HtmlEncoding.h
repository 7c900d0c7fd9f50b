// How the HTML reader turns a document's bytes into UTF-8 before parsing: the
// encoding is chosen the way a browser chooses it for a local file, and the
// bytes are decoded here rather than by the parser, so that a byte the
// encoding cannot map costs one U+FFFD instead of the rest of the document.
#pragma once

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
// The result is valid UTF-8 without a byte-order mark. Bytes the encoding
// cannot map, and NUL characters, become U+FFFD.
std::string decodeHtmlBytes(std::string_view bytes);

// The encoding a <meta> tag declares within the document's head, as an
// encoding name ("UTF-8", "windows-1252", or a name iconv knows), or empty
// when there is none or the label is unknown. Exposed for tests.
std::string declaredHtmlCharset(std::string_view bytes);

} // namespace vantrel::extractor
