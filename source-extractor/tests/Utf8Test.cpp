#include "text/Utf8.h"
#include "text/Utf16Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::extractor {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8, KeepsValidTextAndReplacesEachMaximalInvalidSubpart) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        // The first and last code points of each length.
        {"\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
         "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"\xED\x9F\xBF", "\xED\x9F\xBF"}, // the last character before the surrogates
        {"\x80\xFF", kReplacement + kReplacement},
        {"\xC0\xAF", kReplacement + kReplacement}, // overlong, with a lead never used
        {"\xE0\x80\xAF", kReplacement + kReplacement + kReplacement}, // overlong three bytes
        {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement}, // an encoded surrogate
        {"\xF4\x90\x80\x80",
         kReplacement + kReplacement + kReplacement + kReplacement}, // past U+10FFFF
        {"a\xE2\x82-\xF0\x9F\x98",
         "a" + kReplacement + "-" + kReplacement}, // cut, inside and at the end
        // E1 80 | E2 | F0 91 92 | F1 BF | 41, the standard's own example.
        {"\xE1\x80\xE2\xF0\x91\x92\xF1\xBF\x41",
         kReplacement + kReplacement + kReplacement + kReplacement + "A"},
        {std::string(20, 'a') + "\xC3", std::string(20, 'a') + kReplacement},
    };
    for (const auto& [bytes, repaired] : cases) {
        const std::string name = ::testing::PrintToString(bytes);
        EXPECT_EQ(replaceInvalidUtf8(bytes), repaired) << name;
        EXPECT_EQ(isValidUtf8(bytes), bytes == repaired) << name;
        // Decoding and encoding again gives back exactly the valid texts.
        std::string again;
        char32_t c = 0;
        for (std::size_t i = 0; i < bytes.size() && decodeUtf8(bytes, i, c);) {
            appendUtf8(again, c);
        }
        EXPECT_EQ(again == bytes, bytes == repaired) << name;
    }
    for (const char32_t notACharacter : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
        std::string out;
        appendUtf8(out, notACharacter);
        EXPECT_EQ(out, kReplacement) << static_cast<std::uint32_t>(notACharacter);
    }
}

TEST(Utf16Text, PairsSurrogatesAndReplacesLoneOnes) {
    const std::pair<std::vector<std::uint16_t>, std::string> cases[] = {
        {{'H', 0x0000, 0x00FC, 0x20AC}, std::string("H\0\xC3\xBC\xE2\x82\xAC", 7)},
        {{0xD83D, 0xDE00, 0xDBFF, 0xDFFF}, "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
        {{0xD800, 'A', 0xDC00}, kReplacement + "A" + kReplacement},    // lone high and low
        {{'A', 0xD83D}, "A" + kReplacement},                           // high at the end
        {{0xDE00, 0xD83D}, kReplacement + kReplacement},               // a pair in the wrong order
        {{0xD83D, 0xD83D, 0xDE00}, kReplacement + "\xF0\x9F\x98\x80"}, // two highs, then a low
    };
    // UTF-16 held as bytes is read by the HTML reader's tests.
    for (const auto& [units, utf8] : cases) {
        EXPECT_EQ(utf8FromUtf16(units.data(), units.size()), utf8);
    }
}

} // namespace
} // namespace vantrel::extractor
