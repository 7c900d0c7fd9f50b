// vantrel-source-extractor --extract FILE
// Writes the document's text as UTF-8 to standard output and exits 0, or
// writes one fixed message to standard error and exits 1.
#include "BlankText.h"
#include "PathExtension.h"
#include "PdfText.h"
#include "RichText.h"
#include "StandardStreams.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

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

[[noreturn]] void fail(std::string_view message) {
    writeAll(STDERR_FILENO, message);
    std::exit(1);
}

// A rich-text document is mapped, not copied; if it shrinks while it is read,
// the access past its new end raises SIGBUS. That is a failed read, not a crash.
void failReadOnBusError(int) {
    (void)!::write(STDERR_FILENO, richTextFailureMessage.data(), richTextFailureMessage.size());
    ::_exit(1);
}

// poppler is not ours, and a damaged document may still crash it. That is a
// document that cannot be read: the PDF message, not a death by a signal. Only
// write and the raw exit are safe here (a sanitizer's exit hook would take
// locks that the crash may hold); the alternate stack serves a stack overflow.
void failPdfOnCrash(int) {
    (void)!::write(STDERR_FILENO, pdfFailureMessage.data(), pdfFailureMessage.size());
#ifdef SYS_exit_group
    // Linux: the system call itself, which no sanitizer intercepts.
    ::syscall(SYS_exit_group, 1);
#else
    ::_exit(1);
#endif
}

constexpr std::array<int, 5> crashSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void handleCrashSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : crashSignals) {
        ::sigaction(signal, &action, nullptr);
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
    std::string extracted;

    if (extensionName == pdfExtension) {
        std::vector<char> crashStack(1 << 16);
        // Fields by name: their order differs between Linux and macOS.
        stack_t alternate{};
        alternate.ss_sp = crashStack.data();
        alternate.ss_size = crashStack.size();
        ::sigaltstack(&alternate, nullptr);
        handleCrashSignals(failPdfOnCrash);
        std::optional<std::string> text = readPDFText(source);
        handleCrashSignals(SIG_DFL);
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        if (!text) {
            fail(pdfFailureMessage);
        }
        extracted = std::move(*text);
    } else if (std::find(richTextExtensions.begin(), richTextExtensions.end(), extensionName) !=
               richTextExtensions.end()) {
        std::signal(SIGBUS, failReadOnBusError);
        std::optional<std::string> text = readRichText(source);
        std::signal(SIGBUS, SIG_DFL);
        if (!text) {
            fail(richTextFailureMessage);
        }
        extracted = std::move(*text);
    } else {
        fail(unsupportedTypeMessage);
    }

    if (isBlank(extracted)) {
        fail(noTextMessage);
    }
    // Success only once every byte has been written: a short write is a failure.
    return writeAll(STDOUT_FILENO, extracted) ? 0 : 1;
}
