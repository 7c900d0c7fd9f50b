#include "text/BlankText.h"

#include <gtest/gtest.h>

namespace vantrel::extractor {
namespace {

TEST(BlankText, WhiteSpaceAndNewlineSet) {
    struct Case {
        const char* text;
        bool blank;
    };
    const Case cases[] = {
        {"", true},
        {" \t\n\v\f\r", true},
        {"\xC2\x85", true},                             // U+0085 next line
        {"\xC2\xA0", true},                             // U+00A0 no-break space
        {"\xE2\x80\x80\xE2\x80\x8A", true},             // U+2000, U+200A
        {"\xE2\x80\xA8\xE2\x80\xA9", true},             // line and paragraph separators
        {"\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80", true}, // U+202F, U+205F, U+3000
        {"\xE2\x80\x8B", false}, // U+200B zero width space is not white space
        {"\xEF\xBB\xBF", false}, // U+FEFF byte-order mark
        {"\x1C", false},         // an ASCII control outside the set
        {" x ", false},
        {"\xC0\xA0", false}, // invalid UTF-8 (an overlong space) counts as text
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isBlank(c.text), c.blank) << "text: " << ::testing::PrintToString(c.text);
    }
}

} // namespace
} // namespace vantrel::extractor
