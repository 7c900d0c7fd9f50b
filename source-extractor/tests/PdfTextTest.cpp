#include "pdf/PdfText.h"
#include "ExtractorRun.h"
#include "MiniPdf.h"
#include "OutputChecks.h"
#include "TemporaryFolder.h"
#include "pdf/PdfPages.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace vantrel::extractor {
namespace {

using test::makePdf;
using vantrel::test::TemporaryFolder;

using test::expectOutcome;
using test::noText;
using test::pdfFailure;

TEST(PdfPages, JoinsNonBlankPagesWithOneEmptyLine) {
    using Pages = std::vector<std::optional<std::string>>;
    struct Case {
        Pages pages;
        std::string joined;
    };
    const Case cases[] = {
        {{"A", " \n", "C"}, "A\n\nC"}, {{" A \n"}, " A \n"},
        {{"  ", "\n", ""}, ""},        {{std::nullopt, "B", std::nullopt, "D\n"}, "B\n\nD\n"},
        {{"\xE2\x80\x83", "x"}, "x"}, // an em space alone is a blank page
    };
    for (const auto& c : cases) {
        const auto joined = joinPageTexts(static_cast<int>(c.pages.size()), [&](int i) {
            return c.pages[static_cast<std::size_t>(i)];
        });
        EXPECT_EQ(joined, c.joined);
    }
}

TEST(PdfPages, DropsOnlyTheLayoutEnding) {
    const std::pair<std::string, std::string> endings[] = {
        {"L1\nL2\n\n\f", "L1\nL2"},
        {"a\n\nb\n\f", "a\n\nb"}, // empty lines between blocks stay
        {"  x \n\f", "  x "},     // nothing else is trimmed
        {"\n y", "\n y"},
    };
    for (const auto& [in, out] : endings) {
        EXPECT_EQ(withoutLayoutEnding(in), out);
    }
}

// Runs qpdf from Debian on `pdf`; its status 3 means it wrote the file with
// warnings. Real documents still use RC4, which qpdf calls weak.
std::string qpdf(const TemporaryFolder& dir, const std::string& pdf, const std::string& options) {
    const auto in = dir.write("qpdf-in.pdf", pdf);
    const auto out = dir.path() / "qpdf-out.pdf";
    const std::string command = "qpdf --allow-weak-crypto " + options + " " + in.string() + " " +
                                out.string() + " 2>/dev/null";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 3))
        << command;
    return vantrel::test::readFile(out);
}

struct Recipe {
    std::string name;
    std::string pdf;
    std::string text;
    std::string message; // on standard error, when the run fails
};

// A page in a Japanese font that is not embedded, in Shift-JIS codes: its
// text needs the character maps of Debian's poppler-data.
std::string japanesePdf() {
    const std::string content = "BT /F1 12 Tf 72 720 Td <93FA967B8CEA82CC95B68F91> Tj ET";
    const std::string japan1 = "<< /Registry (Adobe) /Ordering (Japan1) /Supplement 2 >>";
    return test::makePdfFromObjects({
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 /MediaBox [0 0 612 792] >>",
        "<< /Type /Page /Parent 2 0 R /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Subtype /Type0 /BaseFont /Mincho /Encoding /90ms-RKSJ-H /DescendantFonts [6 0 R] >>",
        "<< /Subtype /CIDFontType0 /BaseFont /Mincho /CIDSystemInfo " + japan1 + " >>",
    });
}

// Documents made the ways real ones are, each with what the extractor gives.
std::vector<Recipe> recipes(const TemporaryFolder& dir) {
    const std::string base = makePdf({{"Alpha", "Beta"}, {}, {"Gamma"}});
    const std::string text = "Alpha\nBeta\n\nGamma";
    std::string broken = base; // every offset in the cross-reference table wrong
    for (std::size_t at = broken.find("\nxref\n");
         (at = broken.find(" 00000 n", at)) != std::string::npos; at += 8) {
        broken.replace(at - 10, 10, "0000000003");
    }
    std::vector<Recipe> list = {
        {"plain", base, text, ""},
        {"object and cross-reference streams", qpdf(dir, base, "--object-streams=generate"), text,
         ""},
        {"linearized", qpdf(dir, base, "--linearize"), text, ""},
        {"owner restrictions only",
         qpdf(dir, base, "--encrypt '' owner 256 --print=none --extract=n --modify=none --"), text,
         ""},
        {"incremental update", test::appendUpdate(base, 9, {"Updated"}), "Alpha\nBeta\n\nUpdated",
         ""},
        {"broken cross-reference table", broken, text, ""},
        {"truncated", base.substr(0, base.size() / 2), "", pdfFailure},
        {"zero pages", makePdf({}), "", noText},
        {"pages without contents", makePdf({{}, {}}), "", noText},
        {"rotated pages", qpdf(dir, base, "--rotate=+90"), text, ""},
        {"Japanese font not embedded", japanesePdf(), "日本語の文書", ""},
        {"page tree loop",
         test::makePdfFromObjects({"<< /Type /Catalog /Pages 2 0 R >>",
                                   "<< /Type /Pages /Kids [2 0 R 3 0 R] /Count 2 >>",
                                   "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] >>"}),
         "", noText},
    };
    // A locked document once crashed the extractor; one with an empty user
    // password opens as any other.
    for (const std::string bits : {"40", "128 --use-aes=n", "128 --use-aes=y", "256"}) {
        list.push_back({"empty user password, " + bits,
                        qpdf(dir, base, "--encrypt '' owner " + bits + " --"), text, ""});
        list.push_back({"user password, " + bits,
                        qpdf(dir, base, "--encrypt user-secret owner " + bits + " --"), "",
                        pdfFailure});
    }
    return list;
}

TEST(PdfText, ReadsDocumentsMadeTheWaysRealOnesAre) {
    TemporaryFolder dir;
    for (const auto& recipe : recipes(dir)) {
        const auto file = dir.write("doc.pdf", recipe.pdf);
        expectOutcome(test::runExtractor({"--extract", file.string()}), recipe.text, recipe.message,
                      recipe.name);
    }
}

// Damage of the kinds real files show, applied to a few of the documents above.
std::vector<std::string> damaged(const std::string& pdf, std::uint32_t seed) {
    std::vector<std::string> out;
    for (int part = 1; part < 6; ++part) {
        out.push_back(pdf.substr(0, pdf.size() * static_cast<std::size_t>(part) / 6));
    }
    for (int flip = 0; flip < 12; ++flip) {
        seed = seed * 1664525u + 1013904223u;
        std::string copy = pdf;
        copy[(seed >> 8) % copy.size()] ^= static_cast<char>(1u << (seed % 8));
        out.push_back(copy);
    }
    const auto replaceEach = [&](const std::string& what, const std::vector<std::string>& bys) {
        for (std::size_t at = pdf.find(what); at != std::string::npos;
             at = pdf.find(what, at + 1)) {
            for (const auto& by : bys) {
                out.push_back(pdf.substr(0, at) + by + pdf.substr(at + what.size()));
            }
        }
    };
    replaceEach("/Length ", {"/Length 0 ", "/Length 99999", "/Length 1", "/Length -"});
    replaceEach("startxref\n", {"startxref\n1", "startxref\n-", "startxref\n9"});
    replaceEach(" 0 R", {"9 0 R"});
    replaceEach(" 00000 n", {" 00000 f"});
    return out;
}

TEST(PdfText, DamagedDocumentsNeverCrashOrHang) {
    TemporaryFolder dir;
    std::vector<std::pair<std::string, std::filesystem::path>> files;
    std::uint32_t seed = 1;
    // Damage in a stream, a table, an update, or under RC4 or AES decryption.
    const std::set<std::string> swept = {"plain", "object and cross-reference streams",
                                         "incremental update", "empty user password, 40",
                                         "empty user password, 128 --use-aes=y"};
    for (const auto& recipe : recipes(dir)) {
        if (swept.count(recipe.name) == 0) {
            continue;
        }
        for (const auto& pdf : damaged(recipe.pdf, seed++)) {
            const std::string name = std::to_string(files.size()) + ".pdf";
            files.emplace_back(recipe.name + " #" + name, dir.write(name, pdf));
        }
    }
    ASSERT_GT(files.size(), 200u) << files.size();
    // And every input the PDF fuzz target has kept.
    const std::filesystem::path kept = FUZZ_REGRESSIONS_DIR "/pdf";
    ASSERT_TRUE(std::filesystem::is_directory(kept) && !std::filesystem::is_empty(kept)) << kept;
    for (const auto& entry : std::filesystem::directory_iterator(kept)) {
        const auto name = "kept " + entry.path().filename().string();
        const auto copy = dir.path() / (name + ".pdf"); // the extension picks the reader
        std::filesystem::copy_file(entry.path(), copy);
        files.emplace_back(name, copy);
    }
    // Four runs at a time: each one mostly waits for its process to start.
    std::vector<test::RunResult> runs(files.size());
    std::atomic<std::size_t> next = 0;
    {
        std::vector<std::jthread> workers;
        workers.reserve(4);
        for (int i = 0; i < 4; ++i) {
            workers.emplace_back([&] {
                for (std::size_t k; (k = next++) < files.size();) {
                    runs[k] = test::runExtractor({"--extract", files[k].second.string()});
                }
            });
        }
    }
    for (std::size_t k = 0; k < files.size(); ++k) {
        const auto& run = runs[k];
        const std::string& what = files[k].first;
        EXPECT_EQ(run.signal, 0) << what;
        if (run.exitStatus == 0) {
            EXPECT_EQ(run.standardError, "") << what;
            EXPECT_TRUE(test::isValidUtf8(run.standardOutput)) << what;
        } else {
            EXPECT_EQ(run.exitStatus, 1) << what;
            EXPECT_EQ(run.standardOutput, "") << what;
            EXPECT_TRUE(run.standardError == pdfFailure || run.standardError == noText)
                << what << ": " << run.standardError;
        }
    }
}

TEST(PdfText, ACrashWhileReadingIsThePdfMessage) {
    TemporaryFolder dir;
    // Long enough that the engine is still at work when the signal comes.
    const auto file =
        dir.write("long.pdf", makePdf(std::vector<std::vector<std::string>>(3000, {"page"})));
    bool sent = false;
    const auto run =
        test::runExtractor({"--extract", file.string()}, test::Output::pipe, [&](pid_t child) {
            sent =
                test::waitForMapping(child, "vantrel-pdf-engine.so") && ::kill(child, SIGSEGV) == 0;
        });
    ASSERT_TRUE(sent) << "the extractor never loaded the PDF engine";
    expectOutcome(run, "", pdfFailure, "SIGSEGV");
}

TEST(PdfText, FailsWhenNoDocumentCanBeOpened) {
    TemporaryFolder dir;
    const auto fifo = dir.path() / "pipe.pdf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {
        (dir.path() / "missing.pdf").string(),
        fifo.string(), // must not block waiting for a writer
    };
    for (const auto& path : paths) {
        EXPECT_FALSE(readPDFText(path).has_value()) << path;
    }
}

} // namespace
} // namespace vantrel::extractor
