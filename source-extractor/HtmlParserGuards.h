// Guards against the quadratic corners of libxml2's HTML parser, which
// compares each attribute with all earlier ones of its tag and each end tag
// with every open element. Tags keep at most kMaxAttributes attributes, and a
// parse that nests deeper than kMaxDepth elements starts afresh at that point,
// so hostile input costs at most a constant per byte. Real pages stay far
// below both; a browser stops nesting at a similar depth.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel::extractor {

inline constexpr std::size_t kMaxAttributes = 128;
inline constexpr int kMaxDepth = 256;

// Removes the attributes beyond kMaxAttributes from every start tag, reading
// tags, comments and script or style content the way libxml2 reads them.
void capAttributes(std::string& html);

// Whether the parse must stop after this start tag and start afresh: the
// parser's own depth, or the elements left open by its recovery, are past the
// limit. Never at a script or style tag, whose content would then read as text.
bool mustRestart(std::string_view tag, int parserDepth, std::size_t openElements);

// Where a fresh parse begins, given the offset just past the last start tag's
// attributes: after that tag's closing "/>" or ">", and after any byte-order
// marks, which the parser would skip and so shift the offsets it reports.
std::size_t restartOffset(std::string_view utf8, std::size_t stoppedAt);

} // namespace vantrel::extractor
