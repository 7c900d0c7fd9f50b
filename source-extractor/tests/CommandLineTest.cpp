// The built program, run as its caller runs it.
#include "ExtractorRun.h"
#include "MiniPdf.h"
#include "TemporaryFolder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

using test::makePdf;
using test::Output;
using test::runExtractor;
using vantrel::test::TemporaryFolder;

const std::string invalidRequest = "Vantrel source extractor received an invalid request.\n";
using test::noText;
using test::pdfFailure;
using test::richTextFailure;
using test::unsupported;

using test::expectOutcome;

TEST(CommandLine, RefusesAnythingButExtractAndOnePath) {
    TemporaryFolder dir;
    const std::string pdf = dir.write("a.pdf", makePdf({{"Hello"}})).string();
    const std::vector<std::vector<std::string>> requests = {
        {},
        {pdf},
        {"--extract", pdf, ""},
        {"--extrac", pdf},
        {"--extract=", pdf},
        {pdf, "--extract"},
        // The count is tested before the option: a bad option with a third
        // argument is still just an invalid request.
        {"--bogus", pdf, pdf},
    };
    for (const auto& request : requests) {
        expectOutcome(runExtractor(request), "", invalidRequest, ::testing::PrintToString(request));
    }
}

TEST(CommandLine, DispatchesByLowerCasedExtensionAndWritesTheTextUntouched) {
    TemporaryFolder dir;
    const std::string pdf = makePdf({{"Hello"}});
    const std::string rtf = "{\\rtf1\\ansi Hello}";
    struct Case {
        std::string name; // a file named missing… is not created
        std::string content;
        std::string text;
        std::string message; // empty: success with `text`
    };
    const Case cases[] = {
        {"a.pdf", pdf, "Hello", ""},
        {"a.PDF", pdf, "Hello", ""},
        {"a.b.pdf", pdf, "Hello", ""},
        {"a.Rtf", rtf, "Hello", ""},
        {"a.HTM", "<p>Hello</p>", "Hello\n", ""},
        {"missing.rtf", "", "", richTextFailure},
        {"text.pdf", "Hello", "", pdfFailure},
        {"missing.txt", "", "", unsupported},
        {"a.rtfd", rtf, "", unsupported},
        {"pdf", pdf, "", unsupported},
        {".pdf", pdf, "", unsupported}, // a hidden file's name, not an extension
        {"a.pdf.", pdf, "", unsupported},
        // A leading line end and spaces survive; no line end is added.
        {"hello.rtf", "{\\rtf1 \\par   Hello\\par}", "\n  Hello\n", ""},
        {"umlaut.pdf", makePdf({{"\xFC"}}), "\xC3\xBC", ""},
        {"blank.rtf", "{\\rtf1 \\par \\tab \\par}", "", noText},
        {"empty.rtf", "", "", noText},
        {"blank.html", "<html><body> <br> &nbsp; </body></html>", "", noText},
        // The HTML parser's complaints never reach the standard streams.
        {"noisy.html",
         "<meta charset=utf-16><!DOCTYPE x><p>a <b>b <x y=1 y=2>c</z> &bogus; &#0;<</p>",
         "a b c &bogus; \uFFFD<\n", ""},
    };
    for (const auto& c : cases) {
        if (!c.name.starts_with("missing")) {
            dir.write(c.name, c.content);
        }
        const auto run = runExtractor({"--extract", (dir.path() / c.name).string()});
        expectOutcome(run, c.text, c.message, c.name);
    }
}

TEST(CommandLine, ResolvesRelativePathsAndRefusesAnEmptyOne) {
    TemporaryFolder dir;
    expectOutcome(runExtractor({"--extract", ""}), "", unsupported, "empty path");

    dir.write("rel.rtf", "{\\rtf1 Hello}");
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const auto run = runExtractor({"--extract", "rel.rtf"});
    std::filesystem::current_path(previous);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardOutput, "Hello");
}

TEST(CommandLine, AnOutputThatCannotBeWrittenIsAFailure) {
    TemporaryFolder dir;
    // Larger than a pipe's buffer, so the write is still going when it fails.
    const std::string big = "{\\rtf1 " + std::string(1 << 20, 'x') + "}";
    const auto file = dir.write("big.rtf", big).string();
    for (const Output output : {Output::closedPipe, Output::fullDevice}) {
        const auto run = runExtractor({"--extract", file}, output);
        EXPECT_EQ(run.signal, 0) << "a closed pipe must not kill the process";
        EXPECT_EQ(run.exitStatus, 1);
    }
}

TEST(CommandLine, ADocumentThatShrinksWhileReadIsAReadFailureNotACrash) {
    TemporaryFolder dir;
    // Large enough that the reader is still at work when the file is cut short.
    const auto file = dir.write("shrinking.rtf", "{\\rtf1 " + std::string(64 << 20, 'x') + "}");
    bool truncated = false;
    const auto run = runExtractor({"--extract", file.string()}, Output::pipe, [&](pid_t child) {
        truncated = test::waitForMapping(child, file.filename().string()) &&
                    ::truncate(file.c_str(), 0) == 0;
    });
    ASSERT_TRUE(truncated) << "the extractor never mapped the document";
    EXPECT_EQ(run.signal, 0);
    expectOutcome(run, "", richTextFailure, "shrinking");
}

} // namespace
} // namespace vantrel::extractor
