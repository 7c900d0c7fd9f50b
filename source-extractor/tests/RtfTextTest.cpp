#include "rtf/RtfText.h"
#include "OutputChecks.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::extractor {
namespace {

using test::isValidUtf8;

struct Case {
    const char* name;
    std::string rtf;
    std::string text;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(rtfToText(c.rtf), c.text) << c.name;
    }
}

TEST(RtfText, ParagraphsTabsAndTables) {
    expectAll({
        {"paragraph, line, tab, section, page and column; no final mark",
         R"({\rtf1\ansi Hello world\par a\line b\tab c\sect d\page e\column f})",
         "Hello world\na\nb\tc\nd\ne\nf"},
        {"raw line ends are not text, a raw tab is, a backslash before a line end is \\par",
         "{\\rtf1 raw\r\nline\nbreaks\ta\\\nb\\\r\nc}", "rawlinebreaks\ta\nb\nc"},
        {"table rows",
         R"({\rtf1\trowd\cellx1000\cellx2000 \intbl A\cell B\cell\row)"
         R"(\trowd\cellx1000 \intbl C\cell D\cell{\trowd\cellx1000\row}})",
         "A\tB\nC\tD\n"},
        {"empty last cell, paragraph marks inside cells",
         R"({\rtf1 A\cell \cell\row{\pard\intbl A\par}\cell{\pard\intbl B1\par B2\par}\cell\row)"
         R"( \par\cell X\cell\row})",
         "A\t\nA\tB1\nB2\n\tX\n"},
        {"special characters, control symbols, delimiting space",
         R"({\rtf1 \emdash\ldblquote a\~b\-c\_d\{\}\\\b bold\b0  two})",
         "—“a\u00A0bc\u2011d{}\\bold two"},
    });
}

TEST(RtfText, DestinationsFieldsAndFootnotes) {
    expectAll({
        {"document tables, headers, footers, comments, ignorable destinations",
         R"({\rtf1{\fonttbl{\f0 Times;}}{\info{\title T}{\author A}}{\header Head\par})"
         R"(A{\*\atnid x}{\*\annotation comment}B{\*\unknowndest hidden}C\par})",
         "ABC\n"},
        {"pictures, hex and binary, and binary data in text",
         "{\\rtf1 A{\\pict\\pngblip\\picw10 89504e47{\\*\\blipuid 00}}B{\\pict\\bin5 }{\\x}}C"
         "\\bin3 xyzD}",
         "ABCD"},
        {"object result, field result, unstarred field instruction",
         R"({\rtf1{\object\objemb{\*\objclass Paint}{\*\objdata 0102}{\result Shown}} See )"
         R"({\field{\*\fldinst{ HYPERLINK "http://x"}}{\fldrslt{\ul here}}}.)"
         R"({\field{\fldinst PAGE}{\fldrslt 3}}})",
         "Shown See here.3"},
        {"hidden text, plain, tracked deletion",
         R"({\rtf1 A{\v hidden}B\v C\v0 D{\deleted gone} E\v x\plain y})", "ABD Ey"},
        {"list marker, text box, unicode alternative",
         R"({\rtf1{\listtext 1.\tab}Item\par{\*\pn{\pntxtb x}})"
         R"({\shp{\*\shpinst{\sp{\sn fillColor}{\sv 255}}{\shptxt Box}}{\shprslt fallback}})"
         R"({\upr{ansi}{\*\ud{uni}}}})",
         "1.\tItem\nBox\nuni"},
        {"two footnotes follow the body",
         R"({\rtf1 Text{\super\chftn}{\footnote\pard{\super\chftn} Note one.} more\par )"
         R"(Second{\super\chftn}{\footnote{\super\chftn} Note two.\par}\par})",
         "Text1 more\nSecond2\n\n1 Note one.\n2 Note two.\n"},
        {"body without a final line end", R"({\rtf1 A{\footnote B}})", "A\n\nB\n"},
        {"note in a header is skipped", R"({\rtf1{\header H{\footnote N}}Body})", "Body"},
    });
}

TEST(RtfText, ReadsWhatWordProcessorsWrite) {
    expectAll({
        {"escaped line ends, CR LF as one", R"({\rtf1 foo\'0dbar\'0abaz\'0d\'0aqux})",
         "foo\nbar\nbaz\nqux"},
        {"double-byte trail bytes that look like RTF syntax: by code page, by font, in a fallback",
         "{\\rtf1\\ansicpg932{\\fonttbl{\\f1\\fcharset136 M;}}"
         "\x95\\\x8e\xa6\x82\xb5\x82\xdc\x82\xb7{\\f1 \xa5\\\xa6{\xad}}\\uc2\\u34920\x95\\x}",
         "表示します功州迪表x"},
        {"shape texts on lines of their own",
         R"({\rtf1 before{\shp{\*\shpinst{\shptxt one}}}{\shp{\*\shpinst{\shptxt two}}}after})",
         "before\none\ntwo\nafter"},
        {"a field nested in a blank field's instruction",
         R"({\rtf1 {\field{\*\fldinst GOTOBUTTON _Toc1 {\field{\*\fldinst PAGEREF _Toc1})"
         R"({\fldrslt 3}}}{\fldrslt }}})",
         "3"},
        {"shape properties outside the shape instructions",
         R"({\rtf1 A{\shp{\sp{\sn fFilled}{\sv 0}}}B})", "AB"},
        {"a stray \\* inside a date's result",
         R"({\rtf1 {\field{\*\fldinst DATE}{\fldrslt \*\cs12 Text}}})", "Text"},
        {"code pages from font names, not over an explicit charset",
         R"({\rtf1\ansicpg1252{\fonttbl{\f1 Times New Roman Cyr;}{\f2 Arial CE;}{\f3 Courier (Hebrew);})"
         R"({\f4\fcharset0 Arial Greek;}{\f5 Arial tur;}}\f1\'e9\f2\'e9\f3\'e9\f4\'e9\f5\'fd})",
         "йéיéı"},
        {"the Symbol font without its charset", R"({\rtf1{\fonttbl{\f1 Symbol;}}\f1\'b7})", "•"},
    });
}

TEST(RtfText, UnicodeAndFallbacks) {
    expectAll({
        {"fallback counts", R"({\rtf1 \u8364?x\uc0\u8364 x{\uc2\u20013\'d6\'d0x}})", "€x€x中x"},
        {"negative values, full code points, a value out of range",
         R"({\rtf1 \u-24879?\u128512?\u99999999?x})", "黑\xF0\x9F\x98\x80\uFFFDx"},
        {"the count is scoped to groups", R"({\rtf1 {\uc2 \u8364 ab}\u8364 cd})", "€€d"},
        {"a brace or a control word ends the fallback",
         R"({\rtf1 {\uc3\u8364{x}y}\u8220\ldblquote x})", "€xy“x"},
        {"surrogates, a high one last",
         R"({\rtf1 \u-10179?\u-8704?\u-10179?x\u-8704?x\u-10179?\u-10179?\u-8704?\u-10179?})",
         "\xF0\x9F\x98\x80\uFFFDx\uFFFDx\uFFFD\xF0\x9F\x98\x80\uFFFD"},
    });
}

TEST(RtfText, CodePages) {
    expectAll({
        {"ansicpg1251, raw bytes too", "{\\rtf1\\ansi\\ansicpg1251 \\'cf\\'f0\\'e8\xe2\xe5\xf2}",
         "Привет"},
        {"charsets per font and for the default font",
         R"({\rtf1\ansi\deff0{\fonttbl{\f0\fcharset0 Times;}{\f1\fcharset204 Arial;}})"
         R"(\'e9 {\f1 \'e9} \'e9})",
         "é й é"},
        {"font table without groups",
         R"({\rtf1{\fonttbl\f0\fcharset0 Times;\f1\fcharset204 Arial;}\f1\'e9})", "й"},
        {"default font's charset", R"({\rtf1\deff1{\fonttbl{\f1\fcharset204 Arial;}}\'e9})", "й"},
        {"font code page", R"({\rtf1{\fonttbl{\f0\cpg1253 Greek;}}\f0\'e1})", "α"},
        {"cp932 double bytes, a trail byte written plainly",
         R"({\rtf1\ansi\ansicpg932 \'82\'a0\'82\'a2\'83N})", "あいク"},
        {"a lone lead byte, one cut by a font change",
         R"({\rtf1\ansicpg932{\fonttbl{\f1\fcharset0 A;}}\'82\par\'82\f1 x})", "\uFFFD\n\uFFFDx"},
        {"Symbol font, in the private-use area too",
         R"({\rtf1{\fonttbl{\f0 Times;}{\f1\fcharset2 Symbol;}}{\f1 \'b7 a\u-3913 ?}})", "• α•"},
        {"other symbol fonts use the document code page",
         R"({\rtf1{\fonttbl{\f2\fcharset2 Wingdings;}}{\f2 \'b7}})", "·"},
        {"mac, pc, utf-8 and unknown code pages",
         R"({\rtf1{\mac \'8a}{\pc \'81}{\ansicpg65001 \'c3\'a9}{\ansicpg99999 \'e9}})", "äüéé"},
        {"unassigned and control bytes", R"({\rtf1\ansicpg1252 a\'81b\'00\'0d\'09c})",
         "a\uFFFDb\n\tc"},
        // The converter holds a letter back for a point that may follow: an
        // undefined byte next must not lose it.
        {"a point composes with the letter before it", R"({\rtf1\ansicpg1255 \'e0\'c8})", "\uFB2F"},
        {"a held letter before an undefined byte", R"({\rtf1\ansicpg1255 \'e0\'ff b})",
         "\uFFFD\u05D0 b"},
    });
}

TEST(RtfText, MalformedInputKeepsItsText) {
    const std::string deep = std::string(100000, '{') + "deep" + std::string(100000, '}');
    expectAll({
        {"unclosed groups", R"({\rtf1 Hello {\b world)", "Hello world"},
        {"truncated control word", R"({\rtf1 Hello\pa)", "Hello"},
        {"truncated hex escape", R"({\rtf1 A\'4)", "A"},
        {"backslash at the end", "{\\rtf1 A\\", "A"},
        {"huge binary length", R"({\rtf1 A\bin99999999999999 BCD})", "A"},
        {"negative binary length, huge fallback count, overlong word, NUL bytes",
         "{\\rtf1 A\\bin-5 B{\\uc99999999999\\u8364 abc}d\\" + std::string(100, 'x') + " y" +
             std::string(1, '\0') + "z}",
         "AB€dyz"},
        {"byte-order mark and white space before the document", "\xEF\xBB\xBF \r\n\t{\\rtf1 x}",
         "x"},
        {"deep nesting", "{\\rtf1 " + deep + " tail}", "deep tail"},
        {"destination past the depth cap closes",
         "{\\rtf1 " + std::string(2000, '{') + "{\\*\\x skip}" + "a" + std::string(2000, '}') +
             "b}",
         "ab"},
        {"extra and only closing braces", R"({\rtf1 A}}} B})" + std::string(100000, '}') + "z",
         "A Bz"},
        {"ignorable mark at the end", R"({\rtf1 a{\*)", "a"},
    });
}

TEST(RtfText, FuzzRegressionInputs) {
    const std::filesystem::path dir = FUZZ_REGRESSIONS_DIR "/rtf";
    ASSERT_TRUE(std::filesystem::is_directory(dir) && !std::filesystem::is_empty(dir)) << dir;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        EXPECT_TRUE(isValidUtf8(rtfToText(vantrel::test::readFile(entry.path())))) << entry.path();
    }
}

TEST(RtfText, TextAndEscapesReadAlikeInEveryMix) {
    // Random mixes of runs and escapes against the text they stand for. The
    // same document with empty groups between its pieces takes the reader's
    // slower general route and must give the same text.
    struct Piece {
        std::string rtf;
        std::string text;
    };
    const std::vector<Piece> escapes = {
        {"\\u233\\'e9", "é"},
        {"{\\uc2\\u8364\\'80x}", "€"},
        {"\\u-10179?\\u-8704?", "\xF0\x9F\x98\x80"},
        {"\\u13?", "\n"},
        {"\\u0?", ""},
        {"\\'80\\'e9\\'fc", "€éü"},
        {"\\par ", "\n"},
        {"\\~", "\u00A0"},
        {"\r\n", ""},
        {"{\\v hidden}", ""},
        {"\xe9", "é"},
    };
    const std::string letters =
        "abcdefghijklmnopqrstuvwxyzABCXYZ0123456789 .,;:!?'\"()-+=*&%$#@~|<>/";
    std::mt19937 rng(2024);
    auto pick = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    for (int round = 0; round < 400; ++round) {
        std::string body;
        std::string split;
        std::string text;
        for (size_t i = pick(60) + 1; i > 0; --i) {
            Piece piece;
            if (pick(2) == 0) {
                // Lengths around the sixteen-byte blocks the scanner reads.
                for (size_t n = pick(40) + 1; n > 0; --n) {
                    piece.rtf += letters[pick(letters.size())];
                }
                piece.text = piece.rtf;
            } else {
                piece = escapes[pick(escapes.size())];
            }
            body += piece.rtf;
            split += piece.rtf + "{}";
            text += piece.text;
        }
        ASSERT_EQ(rtfToText("{\\rtf1\\ansi\\ansicpg1252 " + body + "}"), text) << body;
        ASSERT_EQ(rtfToText("{\\rtf1\\ansi\\ansicpg1252 " + split + "}"), text) << split;
        ASSERT_EQ(rtfToText("{\\rtf1\\ansi\\ansicpg1252 " + body), text) << "unclosed: " << body;
    }
}

TEST(RtfText, CodePageRunsDecodeAlikeFromFirstToLast) {
    // A document decodes its first runs of a code page one way and, once it
    // has used that page for a while, another: every run must come out the
    // same. Combining pages (1255, 1258) and double-byte ones are included.
    const int codePages[] = {1251, 1252, 1253, 1255, 1258, 437, 20866, 932, 936, 65001, 99999};
    for (int codePage : codePages) {
        std::string escaped;
        std::string raw;
        for (int b = 0x80; b <= 0xFF; ++b) {
            const char hex[] = "0123456789abcdef";
            escaped += std::string("\\'") + hex[b / 16] + hex[b % 16];
            raw += static_cast<char>(b);
        }
        // A letter and then a point, which compose in 1255.
        escaped += "\\'e0\\'c8";
        raw += "\xe0\xc8";
        std::string rtf = "{\\rtf1\\ansi\\ansicpg" + std::to_string(codePage) + " ";
        for (int run = 0; run < 24; ++run) {
            rtf += (run % 2 == 0 ? escaped : raw) + "\\par ";
        }
        const std::string text = rtfToText(rtf + "}");
        ASSERT_TRUE(isValidUtf8(text)) << codePage;
        const std::string first = text.substr(0, text.find('\n') + 1);
        EXPECT_GT(first.size(), 128u) << codePage;
        std::string expected;
        for (int run = 0; run < 24; ++run) {
            expected += first;
        }
        EXPECT_EQ(text, expected) << codePage;
    }
}

TEST(RtfText, PictureDataOfAnyLengthIsSkipped) {
    // Hex data is passed over in blocks; braces, escapes and \bin at every
    // offset inside it must still be seen.
    const auto picture = [](std::initializer_list<std::string_view> data) {
        std::string rtf = "{\\rtf1 A{\\pict ";
        for (const std::string_view piece : data) {
            rtf += piece;
        }
        return rtf + "}B}";
    };
    for (size_t length = 0; length < 200; ++length) {
        const std::string hex(length, 'a');
        expectAll({
            {"nested group, then the end", picture({hex, "{\\*\\blipuid ", hex, "}", hex}), "AB"},
            {"escaped braces", picture({hex, "\\{\\}\\\\", hex}), "AB"},
            {"binary braces", picture({hex, "\\bin2 }{", hex}), "AB"},
            {"unclosed", "{\\rtf1 A{\\pict " + hex, "A"},
        });
    }
}

} // namespace
} // namespace vantrel::extractor
