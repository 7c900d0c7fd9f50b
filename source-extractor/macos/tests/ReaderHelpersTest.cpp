// The macOS readers' plain C++ helpers, built and run here with the
// extractor's tests.
#include "SpecialFile.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

TEST(SpecialFile, RefusesOnlyWhatCanBlockAReader) {
    const vantrel::test::TemporaryFolder folder;
    const auto& dir = folder.path();
    folder.write("page.pdf", "%PDF-1.4\n");
    std::filesystem::create_directory(dir / "folder.rtf");
    ASSERT_EQ(::mkfifo((dir / "fifo.pdf").c_str(), 0600), 0);
    std::filesystem::create_symlink(dir / "fifo.pdf", dir / "link-to-fifo.html");
    std::filesystem::create_symlink(dir / "page.pdf", dir / "link-to-page.pdf");

    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = (dir / "socket.rtf").string();
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    socketPath.copy(address.sun_path, socketPath.size());
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    const struct {
        std::string path;
        bool special;
    } cases[] = {
        {(dir / "page.pdf").string(), false},
        {(dir / "link-to-page.pdf").string(), false},
        {(dir / "folder.rtf").string(), false},
        {(dir / "missing.pdf").string(), false},
        {(dir / "fifo.pdf").string(), true},
        {(dir / "link-to-fifo.html").string(), true},
        {socketPath, true},
        {"/dev/null", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isSpecialFile(c.path), c.special) << c.path;
    }
    ::close(listener);
}

} // namespace
} // namespace vantrel::extractor
