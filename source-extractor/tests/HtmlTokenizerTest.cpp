#include "html/HtmlTokenizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace vantrel::extractor::html {
namespace {

// Prints the tokens as one short string: text as it is (NUL as \0), tags as
// {name a=v /}, end tags as {/name}, comments as {!text}, DOCTYPEs as
// {doctype name p=public s=system q}. Like tree construction, it switches the
// tokenizer after the elements whose content is text, and for svg content.
class Recorder final : public TokenSink {
  public:
    std::string out;
    Tokenizer tokenizer{*this};

    void startTag(std::string_view name, std::span<const Attribute> attributes,
                  bool selfClosing) override {
        out.append("{").append(name);
        for (const Attribute& a : attributes) {
            out.append(" ").append(a.name).append("=").append(a.value);
        }
        out += selfClosing ? " /}" : "}";
        const std::pair<std::string_view, TextState> switches[] = {
            {"title", TextState::RcData},      {"textarea", TextState::RcData},
            {"style", TextState::RawText},     {"xmp", TextState::RawText},
            {"script", TextState::ScriptData}, {"plaintext", TextState::PlainText}};
        for (const auto& [element, state] : switches) {
            if (name == element) {
                tokenizer.switchTo(state);
            }
        }
        if (name == "svg") {
            tokenizer.setForeignContent(true);
        }
    }
    void endTag(std::string_view name) override {
        out.append("{/").append(name).append("}");
        if (name == "svg") {
            tokenizer.setForeignContent(false);
        }
    }
    void characters(std::string_view text) override {
        for (const char c : text) {
            out += c == '\0' ? std::string("\\0") : std::string(1, c);
        }
    }
    void comment(std::string_view text) override { out += "{!" + std::string(text) + "}"; }
    void doctype(const Doctype& d) override {
        out += "{doctype " + std::string(d.name);
        out += d.hasPublicId ? " p=" + std::string(d.publicId) : "";
        out += d.hasSystemId ? " s=" + std::string(d.systemId) : "";
        out += d.forceQuirks ? " q}" : "}";
    }
    void endOfFile() override { out += "$"; }
};

std::string tokens(std::string_view html, std::size_t chunk) {
    Recorder recorder;
    for (std::size_t at = 0; at < html.size(); at += chunk) {
        recorder.tokenizer.feed(html.substr(at, chunk));
    }
    recorder.tokenizer.finish();
    return recorder.out;
}

using namespace std::string_literals;

const std::string kFffd = "\xEF\xBF\xBD";

TEST(HtmlTokenizer, FollowsEachRuleFamilyWhicheverWayTheInputIsCut) {
    const std::pair<std::string, std::string> cases[] = {
        // Tags and attributes: names lower-cased, quotes of each kind, the
        // first of duplicate attributes, missing values and whitespace.
        {"a<b>c</B>d", "a{b}c{/b}d$"},
        {"<DiV Class=X id='y' title=\"z\" checked>", "{div class=X id=y title=z checked=}$"},
        {"<br/><a href=x/><p/x>", "{br /}{a href=x/}{p x=}$"},
        {"<a a=1 A=2 b='1'c d=>", "{a a=1 b=1 c= d=}$"},
        {"<a x\"y=1 =z  / >", "{a x\"y=1 =z=}$"},
        {"<a b=\"&ampx\" c=\"&amp=\" d='&amp;x' e=&notit; f=\"&copy\" g=&lt>",
         "{a b=&ampx c=&amp= d=&x e=&notit; f=\xC2\xA9 g=<}$"},
        {"</a b=1 /></>", "{/a}$"},
        // Names stop after 1 KiB, between characters, however they arrive.
        {"<" + std::string(1023, 'a') + "\xC3\xA9xy>", "{" + std::string(1023, 'a') + "\xC3\xA9}$"},
        // Where a tag fails: what it was is text, a bogus comment or nothing.
        {"a < b <1 <", "a < b <1 <$"},
        {"x</", "x</$"},
        {"x<a b=\"1", "x$"},
        {"<?x>y</ x><!x><!-x><!DOCTYP>", "{!?x}y{! x}{!x}{!-x}{!DOCTYP}$"},
        // Character references in text.
        {"&amp;&lt;&GT;&nbsp;&AMP", "&<>\xC2\xA0&$"},
        {"&not &notin; &notit; &notx &ampx &amp= &foo; &", "\xC2\xAC \xE2\x88\x89 \xC2\xACit; "
                                                           "\xC2\xACx &x &= &foo; &$"},
        {"&nGt;&fjlig;&copy", "\xE2\x89\xAB\xE2\x83\x92"
                              "fj\xC2\xA9$"},
        {"It&#146;s &#x93;q&#X94; &#128;&#x81;&#65", "It\xE2\x80\x99s \xE2\x80\x9Cq\xE2\x80\x9D "
                                                     "\xE2\x82\xAC\xC2\x81"
                                                     "A$"},
        {"&#0;&#xD800;&#x110000;&#99999999999;&#xFFFF;&#x1;",
         kFffd + kFffd + kFffd + kFffd + "\xEF\xBF\xBF\x01$"},
        {"&#;&#x;&#xg;&#a", "&#;&#x;&#xg;&#a$"},
        // NUL, state by state: kept for tree construction in data and CDATA.
        {"a\0<t\0g a\0=\"\0\"><!--\0-->"s,
         "a\\0{t" + kFffd + "g a" + kFffd + "=" + kFffd + "}{!" + kFffd + "}$"},
        {"<title>\0</title><script>\0</script><plaintext>\0"s,
         "{title}" + kFffd + "{/title}{script}" + kFffd + "{/script}{plaintext}" + kFffd + "$"},
        {"<svg><![CDATA[\0]]></svg>"s, "{svg}\\0{/svg}$"},
        // Newlines and ill-formed UTF-8.
        {"a\r\nb\rc\n\rd<a b=\"1\r\n2\">", "a\nb\nc\n\nd{a b=1\n2}$"},
        {"a\xFF"
         "b\xE2\x82"
         "c\xE2\x82\xAC\xF0\x9F",
         "a" + kFffd + "b" + kFffd + "c\xE2\x82\xAC" + kFffd + "$"},
        // Text elements end only at their own end tag.
        {"<title>a<b>&amp;</titlex></TITLE id=1>", "{title}a<b>&</titlex>{/title}$"},
        {"<textarea></title><!--</textarea>", "{textarea}</title><!--{/textarea}$"},
        {"<style>&amp;<!--</style></xmp>", "{style}&amp;<!--{/style}{/xmp}$"},
        {"<plaintext></plaintext>&amp;", "{plaintext}</plaintext>&amp;$"},
        {"<title>a</titl", "{title}a</titl$"},
        // Script data with its escapes.
        {"<script><!-- document.write(\"<script></script>\") //--></script>x",
         "{script}<!-- document.write(\"<script></script>\") //-->{/script}x$"},
        {"<script><!--<script>--></script>x</script>",
         "{script}<!--<script>-->{/script}x{/script}$"},
        {"<script><!--<script></script>a</script>", "{script}<!--<script></script>a{/script}$"},
        {"<script>a</scriptx><!-x</script>", "{script}a</scriptx><!-x{/script}$"},
        {"<script><!--a--!></script>", "{script}<!--a--!>{/script}$"},
        // Comments, odd endings included.
        {"<!----><!--><!--->a", "{!}{!}{!}a$"},
        {"<!--a--!>b<!--c--!-->", "{!a}b{!c--!}$"},
        {"<!--a<!--b--><!--c---->", "{!a<!--b}{!c--}$"},
        {"<!--a--b-<!- ->", "{!a--b-<!- ->}$"},
        // DOCTYPEs and when they force quirks.
        {"<!DOCTYPE html>", "{doctype html}$"},
        {"<!doctype HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\" 'x.dtd'>",
         "{doctype html p=-//W3C//DTD HTML 4.01//EN s=x.dtd}$"},
        {"<!DOCTYPE><!DOCTYPE html SYSTEM><!DOCTYPE html bogus>",
         "{doctype  q}{doctype html q}{doctype html q}$"},
        {"<!DOCTYPE html SYSTEM 'a' x><!DOCTYPE html PUBLIC \"a",
         "{doctype html s=a}{doctype html p=a q}$"},
        // CDATA only in foreign content.
        {"<![CDATA[x]]><svg><![CDATA[a<b>]]c]]]></svg>", "{![CDATA[x]]}{svg}a<b>]]c]{/svg}$"},
        {"<svg><![CDATA[x]", "{svg}x]$"},
    };
    for (const auto& [html, expected] : cases) {
        EXPECT_EQ(tokens(html, html.size() + 1), expected) << html;
        EXPECT_EQ(tokens(html, 1), expected) << "in one-byte chunks: " << html;
    }
}

TEST(HtmlTokenizer, BoundsWhatOneTokenHolds) {
    // 40,000 attributes, half of them duplicates, a huge tag name, values
    // and comments of 2 MB in one piece, a long run of references: the caps
    // hold and the text is whole.
    std::string html = "<a";
    for (int k = 0; k < 40000; ++k) {
        html += " a" + std::to_string(k % 20000) + "=v";
    }
    html += "><" + std::string(100000, 'B') + ">";
    const std::string huge(2'000'000, 'x');
    html += "<i t=\"" + huge + "\"><!--" + huge + "-->";
    Recorder recorder;
    recorder.tokenizer.feed(html);
    const std::string tags = recorder.out;
    recorder.out.clear();
    for (int k = 0; k < 200000; ++k) {
        recorder.tokenizer.feed("&amp;");
    }
    recorder.tokenizer.finish();
    const std::string first = tags.substr(0, tags.find('}'));
    EXPECT_EQ(std::count(first.begin(), first.end(), '='), 512);
    EXPECT_NE(tags.find("a511=v}{" + std::string(1024, 'b') + "}"), std::string::npos);
    const std::string capped(std::size_t{1} << 20, 'x');
    EXPECT_NE(tags.find("}{i t=" + capped + "}{!" + capped + "}"), std::string::npos);
    EXPECT_EQ(recorder.out, std::string(200000, '&') + "$");
}

} // namespace
} // namespace vantrel::extractor::html
