#include "FileContent.h"
#include "TemporaryFolder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace vantrel::extractor {
namespace {

using vantrel::test::TemporaryFolder;

TEST(FileContent, ReadsWholeFilesEmptyOnesAndOnesWithoutASize) {
    TemporaryFolder dir;
    const std::string big(3 * 1024 * 1024 + 7, 'x');
    const std::pair<std::string, std::string> files[] = {
        {dir.write("empty.rtf", "").string(), ""},
        {dir.write("big.html", big).string(), big},
    };
    for (const auto& [path, content] : files) {
        const auto read = FileContent::read(path);
        ASSERT_TRUE(read.has_value()) << path;
        EXPECT_EQ(read->bytes(), content) << path;
    }
    // /proc reports a size of 0 for files that hold text.
    const auto status = FileContent::read("/proc/self/status");
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(status->bytes().find("Name:"), std::string_view::npos);
}

TEST(FileContent, RefusesWhatIsNotAReadableRegularFile) {
    TemporaryFolder dir;
    const auto fifo = dir.path() / "pipe.rtf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir.path() / "folder.html");
    const std::filesystem::path paths[] = {
        dir.path() / "missing.rtf", dir.path() / "folder.html",
        fifo,        // must not block waiting for a writer
        "/dev/zero", // a device is not a document, however much it holds
    };
    for (const auto& path : paths) {
        EXPECT_FALSE(FileContent::read(path).has_value()) << path;
    }
}

} // namespace
} // namespace vantrel::extractor
