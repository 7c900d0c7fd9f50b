// The extractor's cage and budget: what a confined process can still do, and
// the built program confining itself and failing past its budget.
#include "Confinement.h"
#include "ChildProcess.h"
#include "EngineModules.h"
#include "ExtractorRun.h"
#include "MiniPdf.h"
#include "SanitizerRuntime.h"
#include "TemporaryFolder.h"

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

using namespace std::chrono_literals;
using test::expectOutcome;
using test::pdfFailure;
using test::richTextFailure;
using vantrel::test::TemporaryFolder;

// Whether `attempt` succeeds in a child process confined first.
bool succeedsConfined(const std::function<bool()>& attempt) {
    const pid_t child = ::fork();
    if (child == 0) {
        confineProcess();
        ::_exit(attempt() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "refused, not killed";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Confinement, AConfinedProcessReadsButCannotChangeFilesConnectOrStartPrograms) {
    TemporaryFolder dir;
    const auto existing = dir.write("existing.txt", "kept");
    const auto created = dir.path() / "created.txt";
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const auto opens = [](const std::filesystem::path& path, int flags) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        return fd >= 0 && ::close(fd) == 0;
    };
    struct Case {
        const char* what;
        std::function<bool()> attempt;
        bool allowed;
    };
    const Case cases[] = {
        {"read a file", [&] { return vantrel::test::readFile(existing) == "kept"; }, true},
        {"write to an open descriptor", [&] { return ::write(pipeEnds[1], "x", 1) == 1; }, true},
        {"create a file", [&] { return opens(created, O_WRONLY | O_CREAT); }, false},
        {"write a file", [&] { return opens(existing, O_WRONLY | O_APPEND); }, false},
        {"truncate a file", [&] { return ::truncate(existing.c_str(), 0) == 0; }, false},
        {"remove a file", [&] { return ::unlink(existing.c_str()) == 0; }, false},
        {"make a socket", [] { return ::socket(AF_INET, SOCK_STREAM, 0) >= 0; }, false},
        {"make a local socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }, false},
        {"enter a user namespace", [] { return ::unshare(CLONE_NEWUSER) == 0; }, false},
        // A sanitizer build's runtime may start its symbolizer.
        {"start a program",
         [] {
             char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
             ::execv(argv[0], argv);
             return false; // still here: refused
         },
         sanitizerRuntime::present},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(succeedsConfined(c.attempt), c.allowed) << c.what;
    }
    ::close(pipeEnds[1]);
    char written[4] = {};
    EXPECT_EQ(::read(pipeEnds[0], written, sizeof written), 1);
    ::close(pipeEnds[0]);
    EXPECT_EQ(vantrel::test::readFile(existing), "kept");
    EXPECT_FALSE(std::filesystem::exists(created));
}

// A page that draws a form that draws a form … ten times over at each of six
// levels: poppler keeps a hundred thousand runs of text, which costs seconds
// of CPU time and hundreds of megabytes.
std::string nestedFormsPdf() {
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]"
        " /Resources << /XObject << /X 6 0 R >> >> /Contents 5 0 R >>",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
    const auto stream = [](const std::string& dictionary, const std::string& content) {
        return "<< " + dictionary + " /Length " + std::to_string(content.size()) + " >>\nstream\n" +
               content + "\nendstream";
    };
    objects.push_back(stream("", "/X Do"));
    const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources ";
    for (int level = 0; level < 5; ++level) {
        std::string drawTen;
        for (int i = 0; i < 10; ++i) {
            drawTen += "/X Do ";
        }
        objects.push_back(stream(
            form + "<< /XObject << /X " + std::to_string(7 + level) + " 0 R >> >>", drawTen));
    }
    objects.push_back(
        stream(form + "<< /Font << /F 4 0 R >> >>", "BT /F 12 Tf 72 720 Td (Slow text) Tj ET"));
    return test::makePdfFromObjects(objects);
}

// Seen while the reader runs, or blocked writing a text larger than a pipe's
// buffer that the test has not started to take yet.
bool confinedWhileRunning(pid_t pid) {
    const auto status = "/proc/" + std::to_string(pid) + "/status";
    return vantrel::test::waitUntil(
        [&] {
            const std::string fields = vantrel::test::readFile(status);
            return fields.find("NoNewPrivs:\t1") != std::string::npos &&
                   fields.find("Seccomp:\t2") != std::string::npos;
        },
        10s);
}

TEST(Confinement, TheProgramConfinesItselfAndFailsPastItsBudget) {
    TemporaryFolder dir;
    const std::string text(1 << 20, 'x');
    struct Case {
        std::string name;
        std::string content;
        std::string limits;
        std::string text;
        std::string message;  // empty: the text is read
        bool watched = false; // long enough at work to be looked at
    };
    // The CPU limit is inherited with equal soft and hard values: SIGXCPU
    // must still come before the outright kill. Each memory-hungry document is
    // paired with a small one that reads under the same limit.
    std::vector<Case> cases = {
        {"slow.pdf", nestedFormsPdf(), "ulimit -t 2", "", pdfFailure, true},
        {"long.rtf", "{\\rtf1 " + text + "}", "", text, "", true},
        {"long.html", "<p>" + text + "</p>", "", text + "\n", "", true},
    };
    if (!sanitizerRuntime::present) { // its shadow memory needs terabytes
        const std::string hungryRtf = "{\\rtf1 " + std::string(40 << 20, 'x') + "}";
        cases.push_back({"hungry.pdf", nestedFormsPdf(), "ulimit -d 150000", "", pdfFailure});
        cases.push_back({"small.pdf", test::makePdf({{"x"}}), "ulimit -d 150000", "x", ""});
        cases.push_back({"hungry.rtf", hungryRtf, "ulimit -d 30000", "", richTextFailure});
        cases.push_back({"small.rtf", "{\\rtf1 x}", "ulimit -d 30000", "x", ""});
    }
    for (const auto& c : cases) {
        const auto file = dir.write(c.name, c.content);
        bool confined = false;
        const auto run = test::runExtractor(
            {"--extract", file.string()}, test::Output::pipe,
            [&](pid_t pid) { confined = confinedWhileRunning(pid); }, c.limits);
        EXPECT_TRUE(confined || !c.watched) << c.name;
        expectOutcome(run, c.text, c.message, c.name);
    }
}

TEST(Confinement, OnlyTheFixedMessageReachesStandardError) {
    TemporaryFolder dir;
    // The built program beside an HTML engine that prints its own diagnostics.
    const auto program = dir.path() / "vantrel-source-extractor";
    std::filesystem::copy_file(EXTRACTOR_PATH, program);
    std::filesystem::copy_file(NOISY_ENGINE_PATH, dir.path() / VANTREL_HTML_ENGINE_FILE);
    for (const std::string content : {"<p>read</p>", "<p>fail</p>"}) {
        const auto file = dir.write("noisy.html", content);
        const bool fails = content.find("fail") != std::string::npos;
        expectOutcome(
            test::runExtractor({"--extract", file.string()}, test::Output::pipe, {}, "", program),
            fails ? "" : content, fails ? richTextFailure : "", content);
    }
}

} // namespace
} // namespace vantrel::extractor
