#include "RichText.h"
#include "FileContent.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

using test::TemporaryDirectory;

TEST(RichText, DecidesTheFormatFromTheContent) {
    TemporaryDirectory dir;
    struct Case {
        const char* name;
        const char* content;
        const char* text; // ignoring trailing line ends
    };
    // The extension is not passed on: an RTF named .html is still RTF, and so on.
    const Case cases[] = {
        {"a.rtf", "{\\rtf1\\ansi Hello}", "Hello"},
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

TEST(RichText, FailsOnFilesThatCannotBeRead) {
    TemporaryDirectory dir;
    const auto fifo = dir.path() / "pipe.rtf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.path() / "folder.html");
    const std::filesystem::path paths[] = {
        dir.path() / "missing.rtf", dir.path() / "folder.html",
        fifo,        // must not block waiting for a writer
        "/dev/zero", // a device is not a document, however much it holds
    };
    for (const auto& path : paths) {
        EXPECT_FALSE(readRichText(path).has_value()) << path;
    }
    if (::geteuid() != 0) { // root reads a file whatever its mode
        const auto locked = dir.write("locked.rtf", "{\\rtf1 secret}");
        ::chmod(locked.c_str(), 0);
        EXPECT_FALSE(readRichText(locked).has_value());
    }
}

TEST(FileContent, ReadsWholeFilesEmptyOnesAndOnesWithoutASize) {
    TemporaryDirectory dir;
    const auto empty = FileContent::read(dir.write("empty.rtf", ""));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->bytes(), "");
    const std::string big(3 * 1024 * 1024 + 7, 'x');
    const auto mapped = FileContent::read(dir.write("big.html", big));
    ASSERT_TRUE(mapped.has_value());
    EXPECT_EQ(mapped->bytes(), big);
    // /proc reports a size of 0 for files that hold text.
    const auto status = FileContent::read("/proc/self/status");
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(status->bytes().find("Name:"), std::string_view::npos);
}

} // namespace
} // namespace vantrel::extractor
