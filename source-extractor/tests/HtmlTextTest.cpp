#include "html/HtmlText.h"
#include "OutputChecks.h"
#include "TemporaryFolder.h"
#include "html/HtmlEncoding.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vantrel::extractor {
namespace {

struct Case {
    const char* name;
    std::string html;
    std::string text;
};

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

// What every result must satisfy, as the fuzz target checks it.
void expectWellFormed(const std::optional<std::string>& text, const std::string& name) {
    ASSERT_TRUE(text.has_value()) << name;
    EXPECT_TRUE(test::isValidUtf8(*text)) << name;
    EXPECT_TRUE(test::endsInOneCleanLineEnd(*text)) << name;
}

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const std::optional<std::string> text = htmlToText(c.html);
        expectWellFormed(text, c.name);
        EXPECT_EQ(text.value_or("<nothing>"), c.text) << c.name;
    }
}

TEST(HtmlText, DropsWhatABrowserDoesNotShow) {
    expectAll({
        {"head, title, style, script and comments",
         "<html><head><title>Title</title><style>p { color: red }</style>"
         "<script>var s = '<p>not text</p>';</script></head>"
         "<body><p>Bo<!-- hidden <b>x</b> -->dy</p><script>document.write('x')</script></body>"
         "</html><!-- trailing",
         "Body\n"},
        {"template and select",
         "<template><p>t</p></template><select><option>o</select><p>shown</p>", "shown\n"},
        {"hidden attribute and inline display:none",
         "<div hidden>h</div><p style=\"color:red; DISPLAY : None\">d</p>"
         "<p style=\"display:none-ish\">kept</p><div hidden=until-found>found</div>",
         "kept\n\nfound\n"},
        {"closed and open dialog; a text element the parser leaves in the head",
         "<html><head><title>T</title><div>In head</div></head><body>Body"
         "<dialog>closed</dialog><dialog open>open</dialog></body></html>",
         "In head\nBody\nopen\n"},
    });
}

TEST(HtmlText, LaysOutBlocksAndKeepsPreformattedText) {
    expectAll({
        {"blocks end lines, hr too", "<div>one</div><div>two<hr>2</div><section>three</section>",
         "one\ntwo\n2\nthree\n"},
        {"paragraphs and headings leave an empty line",
         "<h1>Title</h1><p>First</p><p>Second</p><h2>Next</h2>text",
         "Title\n\nFirst\n\nSecond\n\nNext\n\ntext\n"},
        {"br ends a line, two leave an empty one", "<div>a<br>b<br><br>c<br></div><div>d</div>",
         "a\nb\n\nc\nd\n"},
        {"white space collapses, no-break spaces do not; none is invented between inline elements",
         "<p>  a \n\t b  <b> c </b>d\r\n</p><p>a<b>b</b><i>c</i> d&nbsp;&nbsp;e</p>",
         "a b c d\n\nabc d\u00A0\u00A0e\n"},
        {"control characters are part of words", "<p>a\x01b \x1F c\x7F</p>", "a\x01b \x1F c\x7F\n"},
        {"nested blocks give one line end", "<div><div><p>x</p></div></div><div>y</div>",
         "x\n\ny\n"},
        {"image alt text is inline text",
         "<p>see <img src=a.png alt=\" the  chart \"> here"
         "<img src=b.png></p>",
         "see the chart here\n"},
        {"empty and blank documents give nothing", "", ""},
        {"pre keeps spaces, tabs and lines, drops the first line end",
         "<p>code:</p><pre>\n  x  =  1\n\ty\n\n</pre><p>after</p>",
         "code:\n\n  x  =  1\n\ty\n\nafter\n"},
        {"CR and CRLF become LF; markup inside still counts",
         "<pre>a\r\nb\rc <b>bold</b>\n  b</pre>", "a\nb\nc bold\n  b\n"},
        {"textarea keeps white space", "<div><textarea>\n  two  spaces</textarea></div>",
         "  two  spaces\n"},
    });
}

TEST(HtmlText, SeparatesTableCellsAndRows) {
    expectAll({
        {"cells by tabs, rows by lines",
         "<table><tr><th>Name</th><th>Qty</th></tr>"
         "<tr><td>Apple</td><td> 3 </td></tr></table>after",
         "Name\tQty\nApple\t3\nafter\n"},
        {"empty cells keep their columns; trailing ones add nothing",
         "<table><tr><td></td><td>b</td><td></td></tr><tr><td>c</td><td></td><td>e</td></tr>"
         "</table>",
         "\tb\nc\t\te\n"},
        {"blocks inside a cell do not break the row",
         "<table><tr><td><p>one</p></td><td><div>two</div><br></td></tr></table>", "one\ttwo\n"},
    });
}

TEST(HtmlText, MarksListItems) {
    expectAll({
        {"bullets, an item outside a list", "<ul><li>one</li><li>two</ul><li>stray</li>",
         "\u2022\tone\n\u2022\ttwo\n\u2022\tstray\n"},
        {"numbers, start and value", "<ol start=\"3\"><li>c<li>d<li value=10>j<li>k</ol>",
         "3.\tc\n4.\td\n10.\tj\n11.\tk\n"},
        {"letter and roman styles", "<ol type=a><li>x<li>y</ol><ol type=I start=4><li>z</ol>",
         "a.\tx\nb.\ty\nIV.\tz\n"},
        {"nested lists indent and change bullets",
         "<ul><li>a<ul><li>b<ul><li>c</ul></ul></li><li>d</ul>",
         "\u2022\ta\n\t\u25E6\tb\n\t\t\u25AA\tc\n\u2022\td\n"},
        {"an item that opens with a list keeps its own marker line",
         "<ol><li><ul><li>inner</ul><li>second</ol>", "1.\n\t\u25E6\tinner\n2.\tsecond\n"},
        {"paragraphs in items and empty items",
         "<ul><li><p>para</p></li><li></li><li>last</li></ul>", "\u2022\tpara\n\n\u2022\tlast\n"},
    });
}

// One row per rule of tree construction that decides what shows and where.
TEST(HtmlText, BuildsTheTreeAsBrowsersDo) {
    expectAll({
        {"the head hides title, style and script; other text starts the body",
         "<head><title>t</title><style>s</style><script>x<y</script>word", "word\n"},
        {"a late title still goes into the head", "<head></head><title>t</title>body", "body\n"},
        {"noscript is hidden in head and body",
         "<head><noscript><p>a</noscript></head>b<noscript><p>c</p></noscript>d", "bd\n"},
        {"</br> is a <br>", "<p>Line one</br>Line two</p>", "Line one\nLine two\n"},
        {"</p> with no open p is an empty p", "a</p>b", "a\n\nb\n"},
        {"unclosed li, p, dd, dt and headings close",
         "<ul><li>a<li>b</ul><p>c<p>d<dl><dt>e<dd>f<dt>g</dl><h1>h<h2>i",
         "\u2022\ta\n\u2022\tb\n\nc\n\nd\n\ne\nf\ng\n\nh\n\ni\n"},
        {"misnested formatting keeps the words in order", "<b>1<p>2</b>3</p>", "1\n\n23\n"},
        {"</form> closes the form around what is still open", "<form>a<div>b</form>c</div>",
         "a\nbc\n"},
        {"text after </body> and </html> is still the body's", "<p>a</p></body>b</html>c",
         "a\n\nbc\n"},
        {"text fostered out of a table comes before it, joined to the text before",
         "A<table>B<tr><td>C</td>D</table>", "ABD\nC\n"},
        {"a fostered block starts its own line", "A<table><div>x</div><tr><td>c</table>",
         "A\nx\nc\n"},
        {"captions, columns, implied bodies and rows",
         "<table><caption>cap<col><td>1<td>2<tr><th>3</table>", "cap\n1\t2\n3\n"},
        {"select hides its options, a second select ends it", "<select><option>o<select>shown",
         "shown\n"},
        {"a cell tag ends a select in a table", "<table><tr><td><select><option>o<td>x</table>",
         "\tx\n"},
        {"template contents never show", "<template><p>t</template>x", "x\n"},
        {"textarea and script hold text, not markup",
         "<textarea><b>x</b></textarea><script><!-- document.write(\"<script></script>\"); "
         "//--></script>after",
         "<b>x</b>after\n"},
        {"plaintext takes the rest", "<plaintext><b>x</plaintext>", "<b>x</plaintext>\n"},
        {"a frameset page has no text of its own",
         "<frameset><frame><noframes>n</noframes></frameset>after", ""},
        {"NUL is dropped in the body, U+FFFD in foreign content",
         std::string("a\0b<svg><text>c\0</text></svg>", 27), "abc\uFFFD\n"},
        {"SVG text and CDATA show; SVG title does not",
         "<svg><title>t</title><text>a</text><![CDATA[<b>]]></svg>", "a<b>\n"},
        {"an HTML block breaks out of SVG", "<svg><g>in svg<p>para</g> after",
         "in svg\n\npara after\n"},
        {"HTML inside foreignObject and annotation-xml",
         "<svg><foreignObject><div>a</div></foreignObject></svg><math><annotation-xml "
         "encoding=\"text/html\"><div>b</div></annotation-xml></math>",
         "a\nb\n"},
    });
}

TEST(HtmlText, ChoosesTheEncodingLikeABrowser) {
    const std::string privet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
    const std::string privetUtf8 = "\u041F\u0440\u0438\u0432\u0435\u0442";
    const std::string longHead = "<title>" + std::string(1500, 'x') + "</title>";
    expectAll({
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF<p>\xC3\xBC</p>", "\u00FC\n"},
        {"UTF-16LE byte-order mark", std::string("\xFF\xFE<\0p\0>\0\xFC\0=\xD8\0\xDE", 14),
         "\u00FC\U0001F600\n"},
        {"UTF-16BE byte-order mark", std::string("\xFE\xFF\0<\0p\0>\0\xFC\xD8\x3D", 12),
         "\u00FC\uFFFD\n"},
        {"UTF-16LE without a mark", std::string("<\0p\0>\0h\0i\0!\0", 12), "hi!\n"},
        {"UTF-16 NUL and a lone last byte", std::string("\xFF\xFEx\0\0\0y\0!", 9), "xy\uFFFD\n"},
        // Documents are decoded in pieces of 64 KiB: no character is cut in two.
        {"a Shift_JIS character across pieces",
         "<meta charset=shift_jis><p>" + std::string(65535 - 27, 'a') + "\x82\xA0",
         std::string(65535 - 27, 'a') + "\u3042\n"},
        {"a UTF-16 surrogate pair across pieces",
         "\xFF\xFE" + repeat(std::string("a\0", 2), 32767) + std::string("=\xD8\0\xDE", 4),
         std::string(32767, 'a') + "\U0001F600\n"},
        {"a meta past the first 1024 bytes still counts inside the head",
         "<head>" + longHead + "<meta charset=cp1251></head><p>" + privet1251 + "</p>",
         privetUtf8 + "\n"},
        {"a meta past 1024 bytes after the body has begun does not",
         "<body><p>" + std::string(1100, 'y') + "</p><meta charset=cp1251><p>\xFC</p>",
         std::string(1100, 'y') + "\n\n\u00FC\n"},
        {"undeclared Latin-1 is read as windows-1252", "<p>M\xFCller \x80 \x93q\x94</p>",
         "M\u00FCller \u20AC \u201Cq\u201D\n"},
        {"undeclared valid UTF-8", "<p>M\xC3\xBCller \xE2\x82\xAC</p>", "M\u00FCller \u20AC\n"},
        {"UTF-8 with one stray byte among many good characters",
         "<p>" + repeat("\xC3\xA9", 8) + "\xFF</p>", repeat("\u00E9", 8) + "\uFFFD\n"},
        {"UTF-8 cut off inside the last character", "<p>\xC3\xA9t\xC3", "\u00E9t\uFFFD\n"},
        {"declared UTF-8 with a bad byte", "<meta charset=utf-8><p>a\xFFz</p>", "a\uFFFDz\n"},
    });
}

TEST(HtmlText, ReadsTheDeclaredCharset) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<meta charset=' Windows-1251 '>", "CP1251"},
        {"<META CHARSET=LATIN1>", "windows-1252"},
        {"<meta charset=utf-16>", "UTF-8"},
        {"<meta charset=x-bogus><meta charset=gbk>", "GB18030"},
        {"<meta http-equiv=content-type content=\"text/html; charset=\">", ""},
        {"<meta http-equiv=\"Content-Type\" content=\"text/html; charset = 'euc-kr'\">", "CP949"},
        {"<meta charset=utf-8 charset=koi8-r>", "UTF-8"},
        {"<meta charset=\"unterminated", ""},
        {"<meta content=\"text/html; charset=windows-1251\">", ""}, // no http-equiv
        {"<!-- <meta charset=windows-1251> -->", ""},
    };
    for (const auto& [html, encoding] : cases) {
        EXPECT_EQ(declaredHtmlCharset(html), encoding) << html;
    }
}

TEST(HtmlText, SurvivesHostileInput) {
    expectAll({
        {"100000 nested elements",
         repeat("<div>", 100000) + "deep" + repeat("</div>", 100000) + "<p>after</p>",
         "deep\n\nafter\n"},
        {"100000 unclosed inline elements", repeat("<b><i>", 50000) + "x", "x\n"},
        {"paragraphs past the depth cap still stay apart",
         repeat("<span>", 600) + "<p>a</p><p>b</p>", "a\nb\n"},
        {"template contents deeper than the cap stay hidden",
         "<template>" + repeat("<i>", 2000) + "t</template><p>seen</p>", "seen\n"},
    });

    // Past the depth cap elements are not kept, but every word still comes
    // out, in order.
    std::string deepNumbers;
    std::vector<std::string> expectedWords;
    for (int i = 0; i < 3000; ++i) {
        deepNumbers += "<span>" + std::to_string(i) + " ";
        expectedWords.push_back(std::to_string(i));
    }
    const std::optional<std::string> numbers = htmlToText(deepNumbers);
    expectWellFormed(numbers, "deep numbers");
    std::istringstream words(numbers.value_or(""));
    std::vector<std::string> gotWords{std::istream_iterator<std::string>(words), {}};
    EXPECT_EQ(gotWords, expectedWords);
}

// Inputs that once broke the reader under the fuzzer.
TEST(HtmlText, FuzzRegressions) {
    const std::filesystem::path directory = FUZZ_REGRESSIONS_DIR "/html";
    ASSERT_TRUE(std::filesystem::is_directory(directory) && !std::filesystem::is_empty(directory))
        << directory;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        expectWellFormed(htmlToText(vantrel::test::readFile(entry.path())),
                         entry.path().filename().string());
    }
}

} // namespace
} // namespace vantrel::extractor
