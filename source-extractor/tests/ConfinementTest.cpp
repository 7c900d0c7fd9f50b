// The extractor's cage and budget: what a confined process can still do, and
// the built program confining itself and failing past its budget.
#include "confinement/Confinement.h"
#include "ChildProcess.h"
#include "EngineModules.h"
#include "ExtractorRun.h"
#include "MiniPdf.h"
#include "TemporaryFolder.h"
#include "confinement/SanitizerRuntime.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vantrel::extractor {
namespace {

using namespace std::chrono_literals;
using test::pdfFailure;
using test::richTextFailure;
using vantrel::test::readFile;
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
    const auto opens = [](const std::filesystem::path& path, int flags) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        return fd >= 0 && ::close(fd) == 0;
    };
    char* const program[] = {const_cast<char*>("/bin/true"), nullptr};
    const std::tuple<const char*, std::function<bool()>, bool> cases[] = {
        {"read a file", [&] { return readFile(existing) == "kept"; }, true},
        {"create a file", [&] { return opens(created, O_WRONLY | O_CREAT); }, false},
        {"write a file", [&] { return opens(existing, O_WRONLY | O_APPEND); }, false},
        {"truncate a file", [&] { return ::truncate(existing.c_str(), 0) == 0; }, false},
        {"remove a file", [&] { return ::unlink(existing.c_str()) == 0; }, false},
        {"make a socket", [] { return ::socket(AF_INET, SOCK_STREAM, 0) >= 0; }, false},
        {"enter a user namespace", [] { return ::unshare(CLONE_NEWUSER) == 0; }, false},
        // execv returns only when refused. A sanitizer's runtime may start its symbolizer.
        {"start a program", [&] { return ::execv(program[0], program) == 0; },
         sanitizerRuntime::present},
    };
    for (const auto& [what, attempt, allowed] : cases) {
        EXPECT_EQ(succeedsConfined(attempt), allowed) << what;
    }
    EXPECT_EQ(readFile(existing), "kept");
    EXPECT_FALSE(std::filesystem::exists(created));
}

// A page that draws a form that draws a form … ten times over at each of six
// levels: poppler keeps a hundred thousand runs of text, which costs seconds
// of CPU time and hundreds of megabytes.
std::string nestedFormsPdf() {
    const auto form = [](const std::string& resources, const std::string& content) {
        return "<< /Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources " + resources +
               " /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
               "\nendstream";
    };
    std::vector<std::string> objects = {
        "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
        " /Resources << /XObject << /X 5 0 R >> >> >>",
        "<< /Length 5 >>\nstream\n/X Do\nendstream"};
    std::string drawTen;
    for (int i = 0; i < 10; ++i) {
        drawTen += "/X Do ";
    }
    for (int level = 0; level < 5; ++level) {
        objects.push_back(
            form("<< /XObject << /X " + std::to_string(6 + level) + " 0 R >> >>", drawTen));
    }
    objects.push_back(form("<< /Font << /F << /Subtype /Type1 /BaseFont /Helvetica >> >> >>",
                           "BT /F 12 Tf 72 720 Td (Slow text) Tj ET"));
    return test::makePdfFromObjects(objects);
}

TEST(Confinement, TheProgramConfinesItselfAndFailsPastItsBudget) {
    TemporaryFolder dir;
    const std::string text(1 << 20, 'x');
    // name, content, limits, text, message (empty: the text is read), and
    // whether it is at work long enough to be looked at. The CPU limit is
    // inherited with equal soft and hard values: SIGXCPU must still come before
    // the outright kill. Each hungry document has a small one that reads under
    // the same limit.
    using Case = std::tuple<std::string, std::string, std::string, std::string, std::string, bool>;
    std::vector<Case> cases = {
        {"slow.pdf", nestedFormsPdf(), "ulimit -t 2", "", pdfFailure, true},
        {"long.rtf", "{\\rtf1 " + text + "}", "", text, "", true},
        {"long.html", "<p>" + text + "</p>", "", text + "\n", "", true},
    };
    if (!sanitizerRuntime::present) { // its shadow memory needs terabytes
        cases.insert(cases.end(),
                     {{"hungry.pdf", nestedFormsPdf(), "ulimit -d 150000", "", pdfFailure, false},
                      {"small.pdf", test::makePdf({{"x"}}), "ulimit -d 150000", "x", "", false},
                      {"hungry.rtf", "{\\rtf1 " + std::string(40 << 20, 'x') + "}",
                       "ulimit -d 30000", "", richTextFailure, false},
                      {"small.rtf", "{\\rtf1 x}", "ulimit -d 30000", "x", "", false}});
    }
    for (const auto& [name, content, limits, expected, message, watched] : cases) {
        bool confined = false;
        // A text read within the budget goes out whole even when the budget
        // runs out while it is written (here, while the write waits).
        const bool outOfBudgetWhileWriting = watched && !expected.empty();
        bool writing = false;
        // Seen while the reader is at work, or blocked writing a text larger
        // than a pipe's buffer that the test has not started to take yet.
        const auto look = [&](pid_t pid) {
            const auto proc = "/proc/" + std::to_string(pid);
            confined = vantrel::test::waitUntil(
                [&] {
                    const auto fields = readFile(proc + "/status");
                    return fields.find("NoNewPrivs:\t1") != std::string::npos &&
                           fields.find("Seccomp:\t2") != std::string::npos;
                },
                10s);
            if (outOfBudgetWhileWriting) {
                const auto call = std::to_string(SYS_write) + " 0x1 ";
                writing = vantrel::test::waitUntil(
                    [&] { return readFile(proc + "/syscall").starts_with(call); }, 10s);
                ::kill(pid, SIGXCPU);
            }
        };
        const auto run = test::runExtractor({"--extract", dir.write(name, content).string()},
                                            test::Output::pipe, look, limits);
        EXPECT_TRUE(confined || !watched) << name;
        EXPECT_EQ(writing, outOfBudgetWhileWriting) << name;
        test::expectOutcome(run, expected, message, name);
    }
}

TEST(Confinement, OnlyTheFixedMessageReachesStandardError) {
    TemporaryFolder dir;
    // The built program beside a PDF engine that prints its own diagnostics.
    const auto program = dir.path() / "vantrel-source-extractor";
    std::filesystem::copy_file(EXTRACTOR_PATH, program);
    std::filesystem::copy_file(NOISY_ENGINE_PATH, dir.path() / VANTREL_PDF_ENGINE_FILE);
    for (const std::string content : {"read", "fail"}) {
        const bool fails = content == "fail";
        const auto file = dir.write("noisy.pdf", content).string();
        test::expectOutcome(
            test::runExtractor({"--extract", file}, test::Output::pipe, {}, "", program),
            fails ? "" : content, fails ? pdfFailure : "", content);
    }
}

} // namespace
} // namespace vantrel::extractor
