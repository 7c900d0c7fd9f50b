// vantrel-source-extractor --extract FILE
// Writes the document's text as UTF-8 to standard output and exits 0, or
// writes one fixed message to standard error and exits 1.
#include "PathExtension.h"
#include "RichText.h"
#include "StandardStreams.h"
#include "confinement/Confinement.h"
#include "confinement/ReadBudget.h"
#include "confinement/SanitizerRuntime.h"
#include "pdf/PdfText.h"
#include "text/BlankText.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using namespace vantrel::extractor;

constexpr std::string_view invalidRequestMessage =
    "Vantrel source extractor received an invalid request.\n";
constexpr std::string_view pdfFailureMessage = "The selected PDF could not be read.\n";
constexpr std::string_view richTextFailureMessage =
    "The selected rich-text document could not be read.\n";
constexpr std::string_view unsupportedTypeMessage =
    "The selected source type is not supported by the native extractor.\n";
constexpr std::string_view noTextMessage = "The selected source contains no importable text.\n";

constexpr std::string_view pdfExtension = "pdf";
constexpr std::array<std::string_view, 3> richTextExtensions = {"rtf", "html", "htm"};

// Everything goes out through write(2), so nothing is left to flush at the
// end: ending at once skips the destructors of poppler's global state and of
// the C++ runtime, which only give back memory, and take about a thirtieth of
// a one-page PDF's run. Sanitizer builds end normally, for the leak checker.
[[noreturn]] void endProcess(int status) {
    if constexpr (!sanitizerRuntime::present) {
        ::_exit(status);
    }
    std::exit(status);
}

[[noreturn]] void fail(std::string_view message, int descriptor = STDERR_FILENO) {
    writeAll(descriptor, message);
    endProcess(1);
}

// What the signal handlers write, and where: set before any is installed.
// Descriptor 2 points at the null device while a reader runs.
int messageDescriptor = STDERR_FILENO;
std::string_view readFailureMessage;

// A document's read that ends by a signal is a failed read, not a crash: the
// CPU budget spent (SIGXCPU), a mapped rich-text document that shrank while
// read (SIGBUS), or a crash inside poppler, which is not ours. Only write and
// the raw exit are safe here (a sanitizer's exit hook would take locks that
// the crash may hold); the alternate stack serves a stack overflow.
void failReadOnSignal(int) {
    (void)!::write(messageDescriptor, readFailureMessage.data(), readFailureMessage.size());
#ifdef SYS_exit_group
    // Linux: the system call itself, which no sanitizer intercepts.
    ::syscall(SYS_exit_group, 1);
#else
    ::_exit(1);
#endif
}

constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

std::uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && info.st_size > 0
               ? static_cast<std::uint64_t>(info.st_size)
               : 0;
}

// Reads the document, confining the process once its reader is ready. An
// allocation refused under the memory budget is a failed read.
std::optional<std::string> readDocument(bool pdf, const std::string& source) {
    try {
        return pdf ? readPDFText(source, confineProcess) : readRichText(source, confineProcess);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace

int main(int argc, char** argv) {
    // A reader that closes the pipe early must see exit status 1, not a signal.
    std::signal(SIGPIPE, SIG_IGN);

    if (argc != 3) {
        fail(invalidRequestMessage);
    }
    if (std::string_view(argv[1]) != "--extract") {
        fail(invalidRequestMessage);
    }
    const std::string source = argv[2];
    const std::string extensionName = lowercasedPathExtension(source);
    const bool pdf = extensionName == pdfExtension;
    if (!pdf && std::find(richTextExtensions.begin(), richTextExtensions.end(), extensionName) ==
                    richTextExtensions.end()) {
        fail(unsupportedTypeMessage);
    }

    messageDescriptor = setStandardErrorAside();
    sanitizerRuntime::reportTo(messageDescriptor);
    readFailureMessage = pdf ? pdfFailureMessage : richTextFailureMessage;
    // For the whole run: the CPU budget may run out at any point. Fields by
    // name: their order differs between Linux and macOS.
    static std::array<char, 1 << 16> signalStack;
    stack_t alternate{};
    alternate.ss_sp = signalStack.data();
    alternate.ss_size = signalStack.size();
    ::sigaltstack(&alternate, nullptr);
    handle(SIGXCPU, failReadOnSignal);
    if (pdf) {
        for (const int signal : crashSignals) {
            handle(signal, failReadOnSignal);
        }
    } else {
        handle(SIGBUS, failReadOnSignal);
    }
    applyReadBudget(fileSize(source));

    std::optional<std::string> text = readDocument(pdf, source);
    // Past the read, a crash is our own fault and shows as one.
    for (const int signal : crashSignals) {
        handle(signal, SIG_DFL);
    }
    if (!text) {
        fail(readFailureMessage, messageDescriptor);
    }
    if (isBlank(*text)) {
        fail(noTextMessage, messageDescriptor);
    }
    // The text was read within its budget. Failing now, part-way through the
    // write, would leave part of it on standard output.
    handle(SIGXCPU, SIG_IGN);
    // Success only once every byte has been written: a short write is a failure.
    endProcess(writeAll(STDOUT_FILENO, *text) ? 0 : 1);
}
