#include "HtmlParserGuards.h"

#include <gtest/gtest.h>

#include <string>

namespace vantrel::extractor {
namespace {

std::string attributes(std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += " a" + std::to_string(i) + "='x>'";
    }
    return out;
}

TEST(HtmlParserGuards, KeepsTheFirstAttributesOfEveryTag) {
    const std::string kept = attributes(kMaxAttributes);
    const std::string extra = " b=1 c";
    struct Case {
        const char* name;
        std::string html;
        std::string capped;
    };
    // The cut keeps the blank before the first attribute past the cap.
    const std::string cut = kept + " ";
    const Case cases[] = {
        {"at and past the cap", "<p" + kept + ">x<i" + kept + extra + "/><b" + kept + extra,
         "<p" + kept + ">x<i" + cut + "/><b" + cut},
        {"unquoted values and odd names", "<P" + kept + " d=v" + extra + " ?? >", "<P" + cut + ">"},
        {"comments and script content are not tags; a self-closed style has no content",
         "<!--<p" + kept + extra + ">--><script><p" + kept + extra + "></SCRIPT><style/><b" + kept +
             extra + ">",
         "<!--<p" + kept + extra + ">--><script><p" + kept + extra + "></SCRIPT><style/><b" + cut +
             ">"},
    };
    for (const Case& c : cases) {
        std::string html = c.html;
        capAttributes(html);
        EXPECT_EQ(html, c.capped) << c.name;
    }
}

TEST(HtmlParserGuards, RestartsPastTheDepthLimitAfterTheTag) {
    // Raw-text elements never restart: their content would spill out as text.
    const std::size_t past = 4 * static_cast<std::size_t>(kMaxDepth) + 1;
    EXPECT_TRUE(mustRestart("i", kMaxDepth + 1, 0));
    EXPECT_TRUE(mustRestart("i", 1, past));
    EXPECT_FALSE(mustRestart("script", kMaxDepth + 1, past));
    EXPECT_FALSE(mustRestart("style", kMaxDepth + 1, past));

    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string html;
        std::size_t stoppedAt;
        std::size_t resumeAt;
    } resumes[] = {
        {"<i>x", 2, 3},      {"<br/>x", 3, 5}, {"<i x", 4, 4}, {"<i>" + bom + bom + "x", 2, 9},
        {bom + "<p>", 0, 3}, {"<i>", 99, 3},
    };
    for (const auto& r : resumes) {
        EXPECT_EQ(restartOffset(r.html, r.stoppedAt), r.resumeAt) << r.html;
    }
}

} // namespace
} // namespace vantrel::extractor
