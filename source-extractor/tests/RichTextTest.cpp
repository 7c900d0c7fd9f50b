#include "RichText.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

namespace vantrel::extractor {
namespace {

using vantrel::test::TemporaryFolder;

TEST(RichText, DecidesTheFormatFromTheContent) {
    TemporaryFolder dir;
    struct Case {
        const char* name;
        const char* content;
        const char* text; // ignoring trailing line ends
    };
    // The extension is not passed on: an RTF named .html is still RTF, and so on.
    const Case cases[] = {
        {"a.html", "{\\rtf1\\ansi Hello}", "Hello"},
        {"a.htm", " \r\n\t{\\rtf1 Hello}", "Hello"},
        {"b.rtf", "<p>Hello</p>", "Hello"},
        {"d.html", "{ \\rtf1 Hello}", "{ \\rtf1 Hello}"}, // no signature: read as HTML
    };
    for (const auto& c : cases) {
        const auto text = readRichText(dir.write(c.name, c.content));
        ASSERT_TRUE(text.has_value()) << c.name;
        EXPECT_EQ(text->substr(0, text->find_last_not_of('\n') + 1), c.text) << c.name;
    }
}

} // namespace
} // namespace vantrel::extractor
