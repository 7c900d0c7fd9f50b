#include "PdfText.h"
#include "MiniPdf.h"
#include "PdfPages.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vantrel::extractor {
namespace {

using test::makePdf;
using test::TemporaryDirectory;

TEST(PdfPages, JoinsNonBlankPagesWithOneEmptyLine) {
    using Pages = std::vector<std::optional<std::string>>;
    struct Case {
        Pages pages;
        std::string joined;
    };
    const Case cases[] = {
        {{"A", " \n", "C"}, "A\n\nC"},
        {{" A \n"}, " A \n"},
        {{}, ""},
        {{"  ", "\n", ""}, ""},
        {{std::nullopt, "B", std::nullopt, "D\n"}, "B\n\nD\n"},
        {{"\xE2\x80\x83", "x"}, "x"}, // an em space alone is a blank page
    };
    for (const auto& c : cases) {
        const auto joined = joinPageTexts(static_cast<int>(c.pages.size()), [&](int i) {
            return c.pages[static_cast<std::size_t>(i)];
        });
        EXPECT_EQ(joined, c.joined);
    }
}

TEST(PdfText, ReadsRealDocumentsPageByPage) {
    TemporaryDirectory dir;
    struct Case {
        std::vector<std::vector<std::string>> pages;
        std::string text;
    };
    const Case cases[] = {
        // poppler ends each line, and each block of lines, with a line end;
        // only its page-closing form feed goes.
        {{{"A"}, {}, {"C"}}, "A\n\n\n\nC\n\n"},
        {{{"A"}, {"   "}, {"C"}}, "A\n\n\n\nC\n\n"},
        {{{"first line", "second line"}}, "first line\nsecond line\n\n"},
        {{{"K\xFC"
           "che"}},
         "K\xC3\xBC"
         "che\n\n"},
        {{{}, {}}, ""},
        {{}, ""},
    };
    for (const auto& c : cases) {
        const auto file = dir.write("doc.pdf", makePdf(c.pages));
        const auto text = readPDFText(file);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, c.text);
    }
}

TEST(PdfText, FailsWhenNoDocumentCanBeOpened) {
    TemporaryDirectory dir;
    const auto fifo = dir.path() / "pipe.pdf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {
        dir.write("not.pdf", "this is plain text, not a PDF").string(),
        dir.write("empty.pdf", "").string(),
        (dir.path() / "missing.pdf").string(),
        dir.path().string(),
        fifo.string(), // must not block waiting for a writer
    };
    for (const auto& path : paths) {
        EXPECT_FALSE(readPDFText(path).has_value()) << path;
    }
}

} // namespace
} // namespace vantrel::extractor
