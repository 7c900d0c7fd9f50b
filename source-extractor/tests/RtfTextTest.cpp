#include "RtfText.h"
#include "OutputChecks.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
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
        {"paragraphs", R"({\rtf1\ansi Hello world\par Second line\par})",
         "Hello world\nSecond line\n"},
        {"no final paragraph mark", R"({\rtf1 No final mark})", "No final mark"},
        {"line and tab", R"({\rtf1 a\line b\tab c})", "a\nb\tc"},
        {"section, page and column breaks", R"({\rtf1 a\sect b\page c\column d})", "a\nb\nc\nd"},
        {"raw line ends are not text", "{\\rtf1 raw\r\nline\nbreaks}", "rawlinebreaks"},
        {"backslash before a line end is a paragraph", "{\\rtf1 one\\\ntwo\\\r\nthree}",
         "one\ntwo\nthree"},
        {"raw tab", "{\\rtf1 a\tb}", "a\tb"},
        {"table rows",
         R"({\rtf1\trowd\cellx1000\cellx2000 \intbl A\cell B\cell\row)"
         R"(\trowd\cellx1000 \intbl C\cell D\cell{\trowd\cellx1000\row}})",
         "A\tB\nC\tD\n"},
        {"empty last cell keeps its separator", R"({\rtf1 A\cell \cell\row})", "A\t\n"},
        {"paragraph marks inside cells",
         R"({\rtf1{\pard\intbl A\par}\cell{\pard\intbl B1\par B2\par}\cell\row \par\cell X\cell\row})",
         "A\tB1\nB2\n\tX\n"},
        {"nested table cells", R"({\rtf1 x\nestcell y\nestcell{\*\nesttableprops\nestrow}})",
         "x\ty\n"},
        {"special characters", R"({\rtf1 \emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote})",
         "—–•‘’“”"},
        {"control symbols", R"({\rtf1 a\~b\-c\_d\{\}\\})", "a\u00A0bc\u2011d{}\\"},
        {"delimiting space is not text", R"({\rtf1 \b bold\b0  two})", "bold two"},
    });
}

TEST(RtfText, DestinationsAndFields) {
    expectAll({
        {"document tables",
         R"({\rtf1{\fonttbl{\f0 Times;}}{\colortbl;\red255\green0\blue0;})"
         R"({\stylesheet{\s0 Normal;}}{\info{\title T}{\author A}}Body})",
         "Body"},
        {"headers and footers", R"({\rtf1{\header Head\par}{\footerl Foot\par}Body\par})",
         "Body\n"},
        {"ignorable destinations", R"({\rtf1 A{\*\generator Gen;}{\*\unknowndest hidden}B})", "AB"},
        {"comments", R"({\rtf1 A{\*\atnid x}{\*\annotation comment}B})", "AB"},
        {"hex picture", R"({\rtf1 A{\pict\pngblip\picw10 89504e470d0a1a0a{\*\blipuid 00}}B})",
         "AB"},
        {"binary picture with braces", "{\\rtf1 A{\\pict\\bin5 }{\\x}}B}", "AB"},
        {"binary data in text", R"({\rtf1 A\bin3 xyzB})", "AB"},
        {"object shows its result",
         R"({\rtf1{\object\objemb{\*\objclass Paint}{\*\objdata 0102}{\result Shown}}})", "Shown"},
        {"field result, not instruction",
         R"({\rtf1 See {\field{\*\fldinst{ HYPERLINK "http://x"}}{\fldrslt{\ul here}}}.})",
         "See here."},
        {"unstarred field instruction", R"({\rtf1{\field{\fldinst PAGE}{\fldrslt 3}}})", "3"},
        {"hidden text", R"({\rtf1 A{\v hidden}B\v C\v0 D})", "ABD"},
        {"plain ends hidden text", R"({\rtf1 \v x\plain y})", "y"},
        {"tracked deletion", R"({\rtf1 keep{\deleted gone} this})", "keep this"},
        {"list marker", R"({\rtf1{\listtext 1.\tab}Item\par{\*\pn{\pntxtb x}}})", "1.\tItem\n"},
        {"text box",
         R"({\rtf1{\shp{\*\shpinst{\sp{\sn fillColor}{\sv 255}}{\shptxt Box text}})"
         R"({\shprslt fallback}}})",
         "Box text"},
        {"unicode alternative", R"({\rtf1{\upr{ansi}{\*\ud{uni}}}})", "uni"},
    });
}

TEST(RtfText, UnicodeAndFallbacks) {
    expectAll({
        {"one fallback by default", R"({\rtf1 \u8364?x})", "€x"},
        {"no fallback", R"({\rtf1 \uc0\u8364 x})", "€x"},
        {"hex fallbacks count one each", R"({\rtf1 \uc2\u20013\'d6\'d0x})", "中x"},
        {"negative values", R"({\rtf1 \u-24879?})", "黑"},
        {"count is scoped to groups", R"({\rtf1 {\uc2 \u8364 ab}\u8364 cd})", "€€d"},
        {"skipping stops at a brace", R"({\rtf1 \uc3\u8364{x}y})", "€xy"},
        {"control word in the fallback", R"({\rtf1 \u8220\ldblquote x})", "“x"},
        {"surrogate pair", R"({\rtf1 \u-10179?\u-8704?})", "\xF0\x9F\x98\x80"},
        {"lone high surrogate", R"({\rtf1 \u-10179?x})", "\uFFFDx"},
        {"high surrogate at the end", R"({\rtf1 \u-10179?})", "\uFFFD"},
        {"lone low surrogate", R"({\rtf1 \u-8704?x})", "\uFFFDx"},
        {"two high surrogates", R"({\rtf1 \u-10179?\u-10179?\u-8704?})", "\uFFFD\xF0\x9F\x98\x80"},
        {"value out of range", R"({\rtf1 \u99999999?x})", "\uFFFDx"},
        {"full code point", R"({\rtf1 \u128512?})", "\xF0\x9F\x98\x80"},
    });
}

TEST(RtfText, CodePages) {
    expectAll({
        {"cp1252", R"({\rtf1\ansi\ansicpg1252 \'fcber})", "über"},
        {"cp1252 by default", R"({\rtf1 caf\'e9})", "café"},
        {"ansicpg1251", R"({\rtf1\ansi\ansicpg1251 \'cf\'f0\'e8\'e2\'e5\'f2})", "Привет"},
        {"fcharset204 per font",
         R"({\rtf1\ansi\deff0{\fonttbl{\f0\fcharset0 Times;}{\f1\fcharset204 Arial;}})"
         R"(\'e9 {\f1 \'e9} \'e9})",
         "é й é"},
        {"font table without groups",
         R"({\rtf1{\fonttbl\f0\fcharset0 Times;\f1\fcharset204 Arial;}\f1\'e9})", "й"},
        {"default font's charset", R"({\rtf1\deff1{\fonttbl{\f1\fcharset204 Arial;}}\'e9})", "й"},
        {"font code page", R"({\rtf1{\fonttbl{\f0\cpg1253 Greek;}}\f0\'e1})", "α"},
        {"cp932 double bytes", R"({\rtf1\ansi\ansicpg932 \'82\'a0\'82\'a2})", "あい"},
        {"cp932 trail byte written plainly", R"({\rtf1\ansicpg932 \'83N})", "ク"},
        {"cp936 via fcharset134",
         R"({\rtf1{\fonttbl{\f0\fcharset134 SimSun;}}\f0\'d6\'d0\'ce\'c4})", "中文"},
        {"lone lead byte", R"({\rtf1\ansicpg932 \'82})", "\uFFFD"},
        {"lead byte cut by a font change",
         R"({\rtf1\ansicpg932{\fonttbl{\f1\fcharset0 A;}}\'82\f1 x})", "\uFFFDx"},
        {"Symbol font", R"({\rtf1{\fonttbl{\f0 Times;}{\f1\fcharset2 Symbol;}}{\f1 \'b7 a}})",
         "• α"},
        {"Symbol font in the private-use area",
         R"({\rtf1{\fonttbl{\f1\fcharset2 Symbol;}}{\f1\u-3913 ?}})", "•"},
        {"other symbol fonts use the document code page",
         R"({\rtf1{\fonttbl{\f2\fcharset2 Wingdings;}}{\f2 \'b7}})", "·"},
        {"mac", R"({\rtf1\mac \'8a})", "ä"},
        {"pc", R"({\rtf1\pc \'81})", "ü"},
        {"utf-8 code page", R"({\rtf1\ansicpg65001 \'c3\'a9})", "é"},
        {"unknown code page reads as cp1252", R"({\rtf1\ansicpg99999 \'e9})", "é"},
        {"unassigned byte", R"({\rtf1\ansicpg1252 a\'81b})", "a\uFFFDb"},
        {"raw 8-bit bytes", "{\\rtf1\\ansicpg1251 \xcf\xf0}", "Пр"},
        {"control bytes are not text", R"({\rtf1 a\'00\'0d\'09b})", "a\tb"},
    });
}

TEST(RtfText, FootnotesFollowTheBody) {
    expectAll({
        {"two notes",
         R"({\rtf1 Text{\super\chftn}{\footnote\pard{\super\chftn} Note one.} more\par )"
         R"(Second{\super\chftn}{\footnote{\super\chftn} Note two.\par}\par})",
         "Text1 more\nSecond2\n\n1 Note one.\n2 Note two.\n"},
        {"body without a final line end", R"({\rtf1 A{\footnote B}})", "A\n\nB\n"},
        {"note in a header is skipped", R"({\rtf1{\header H{\footnote N}}Body})", "Body"},
    });
}

TEST(RtfText, MalformedInputKeepsItsText) {
    const std::string deep = std::string(100000, '{') + "deep" + std::string(100000, '}');
    expectAll({
        {"unclosed groups", R"({\rtf1 Hello {\b world)", "Hello world"},
        {"extra closing braces", R"({\rtf1 A}}} B})", "A B"},
        {"truncated control word", R"({\rtf1 Hello\pa)", "Hello"},
        {"truncated hex escape", R"({\rtf1 A\'4)", "A"},
        {"backslash at the end", "{\\rtf1 A\\", "A"},
        {"huge binary length", R"({\rtf1 A\bin99999999999999 BCD})", "A"},
        {"negative binary length", R"({\rtf1 A\bin-5 B})", "AB"},
        {"huge fallback count", R"({\rtf1 {\uc99999999999\u8364 abc}d})", "€d"},
        {"overlong control word", "{\\rtf1 \\" + std::string(100, 'x') + " y}", "y"},
        {"nul bytes", std::string("{\\rtf1 A\0B}", 11), "AB"},
        {"not RTF at all", "plain words", "plain words"},
        {"byte-order mark", "\xEF\xBB\xBF{\\rtf1 x}", "x"},
        {"white space before the document", " \r\n\t{\\rtf1 x}", "x"},
        {"deep nesting", "{\\rtf1 " + deep + " tail}", "deep tail"},
        {"deep nesting never closed", "{\\rtf1 " + std::string(100000, '{') + "x", "x"},
        {"destination past the depth cap closes",
         "{\\rtf1 " + std::string(2000, '{') + "{\\*\\x skip}" + "a" + std::string(2000, '}') +
             "b}",
         "ab"},
        {"only closing braces", std::string(100000, '}') + "z", "z"},
        {"ignorable mark at the end", R"({\rtf1 a{\*)", "a"},
    });
}

TEST(RtfText, AnyBytesGiveValidUtf8) {
    // Fragments that stress the decoder; any mix of them must come out as
    // valid UTF-8.
    const std::string fontTable = "{\\fonttbl{\\f1\\fcharset2 Symbol;}{\\f2\\fcharset128 M;}}";
    const std::vector<std::string> pieces = {
        "{",           "}",         "\\",       "\\'",      "\\'8",    "\\'e9",          "\\'82",
        "\\u",         "\\u-10179", "\\u-8704", "\\u55357", "\\uc2 ",  "\\uc0 ",         "?",
        "a",           " ",         "\xff",     "\xc3",     "\\bin2 ", "\\par ",         "\\cell ",
        "\\row ",      "\\*",       "\\pict ",  "\\f1 ",    "\\f2 ",   "\\ansicpg932 ",  "\\mac ",
        "\\footnote ", "\\chftn ",  "\\v ",     "\\plain ", fontTable, "\\ansicpg65001 "};
    std::mt19937 rng(12345);
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(1, 60);
    for (int round = 0; round < 3000; ++round) {
        std::string rtf;
        for (int i = length(rng); i > 0; --i) {
            rtf += pieces[pick(rng)];
        }
        std::string text = rtfToText(rtf);
        ASSERT_TRUE(isValidUtf8(text)) << rtf;
        ASSERT_LE(text.size(), rtf.size() * 3) << rtf;
    }
}

TEST(RtfText, FuzzRegressionInputs) {
    const std::filesystem::path dir = FUZZ_REGRESSIONS_DIR "/rtf";
    ASSERT_TRUE(std::filesystem::is_directory(dir) && !std::filesystem::is_empty(dir)) << dir;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        EXPECT_TRUE(isValidUtf8(rtfToText(bytes.str()))) << entry.path();
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
        {"\\u1078\\'3f", "ж"},
        {"\\u20013?", "中"},
        {"\\u-3913?", "\uF0B7"},
        {"{\\uc2\\u8364\\'80x}", "€"},
        {"{\\uc0\\u8364 }", "€"},
        {"\\u-10179?\\u-8704?", "\xF0\x9F\x98\x80"},
        {"\\u13?", "\n"},
        {"\\u9?", "\t"},
        {"\\u0?", ""},
        {"\\'e9", "é"},
        {"\\'80\\'e9\\'fc", "€éü"},
        {"\\tab ", "\t"},
        {"\\par ", "\n"},
        {"\\~", "\u00A0"},
        {"\r\n", ""},
        {"{\\b}", ""},
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
    const int codePages[] = {1250, 1251,  1252,  1253,  1254,  1255,  1256, 1257, 1258,  874,  437,
                             850,  10000, 10007, 20866, 28591, 28595, 932,  936,  65001, 99999};
    for (int codePage : codePages) {
        std::string escaped;
        std::string raw;
        for (int b = 0x80; b <= 0xFF; ++b) {
            const char hex[] = "0123456789abcdef";
            escaped += std::string("\\'") + hex[b / 16] + hex[b % 16];
            raw += static_cast<char>(b);
        }
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
    // Hebrew points compose with their letter in every run.
    std::string hebrew = "{\\rtf1\\ansicpg1255 ";
    std::string composed;
    for (int run = 0; run < 20; ++run) {
        hebrew += "\\'e0\\'c8 ";
        composed += "\uFB2F ";
    }
    EXPECT_EQ(rtfToText(hebrew + "}"), composed);
}

TEST(RtfText, PictureDataOfAnyLengthIsSkipped) {
    // Hex data is passed over in blocks; braces, escapes and \bin at every
    // offset inside it must still be seen.
    for (size_t length = 0; length < 200; ++length) {
        const std::string hex(length, 'a');
        expectAll({
            {"plain data", "{\\rtf1 A{\\pict " + hex + "}B}", "AB"},
            {"nested group", "{\\rtf1 A{\\pict " + hex + "{\\*\\blipuid " + hex + "}" + hex + "}B}",
             "AB"},
            {"escaped braces", "{\\rtf1 A{\\pict " + hex + "\\{\\}\\\\" + hex + "}B}", "AB"},
            {"binary braces", "{\\rtf1 A{\\pict " + hex + "\\bin2 }{" + hex + "}B}", "AB"},
            {"unclosed", "{\\rtf1 A{\\pict " + hex, "A"},
        });
    }
}

} // namespace
} // namespace vantrel::extractor
