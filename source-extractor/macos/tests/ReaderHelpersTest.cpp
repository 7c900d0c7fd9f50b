// The macOS readers' plain C++ helpers, built and run here with the
// extractor's tests.
#include "SpecialFile.h"
#include "Utf16Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace vantrel::extractor {
namespace {

TEST(Utf16Text, EncodesEveryCodePointAndReplacesLoneSurrogates) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> units;
        std::string utf8;
    };
    const std::vector<Case> cases = {
        {"empty", {}, ""},
        {"ascii", {'H', 'i', '\n'}, "Hi\n"},
        {"two bytes", {0x00FC}, "\xC3\xBC"},
        {"three bytes", {0x20AC}, "\xE2\x82\xAC"},
        {"last of the basic plane", {0xFFFF}, "\xEF\xBF\xBF"},
        {"surrogate pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {"highest code point", {0xDBFF, 0xDFFF}, "\xF4\x8F\xBF\xBF"},
        {"embedded U+0000 kept", {'a', 0x0000, 'b'}, std::string("a\0b", 3)},
        {"lone high surrogate",
         {0xD800, 'A'},
         "\xEF\xBF\xBD"
         "A"},
        {"lone low surrogate", {'A', 0xDC00}, "A\xEF\xBF\xBD"},
        {"high surrogate at the end", {'A', 0xD83D}, "A\xEF\xBF\xBD"},
        {"pair in the wrong order", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"two highs then a low", {0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8FromUtf16(c.units.data(), c.units.size()), c.utf8) << c.name;
    }
}

class SpecialFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/special-file-test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
};

TEST_F(SpecialFileTest, RefusesOnlyWhatCanBlockAReader) {
    std::ofstream(dir / "page.pdf") << "%PDF-1.4\n";
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
