#include "html/HtmlElements.h"

#include <array>
#include <cstddef>
#include <iterator>

namespace vantrel::extractor::html {
namespace {

// In the order of the tags, after Tag::Other.
constexpr std::string_view kNames[] = {
    "",
    "a",
    "address",
    "annotation-xml",
    "applet",
    "area",
    "article",
    "aside",
    "audio",
    "b",
    "base",
    "basefont",
    "bgsound",
    "big",
    "blockquote",
    "body",
    "br",
    "button",
    "canvas",
    "caption",
    "center",
    "code",
    "col",
    "colgroup",
    "datalist",
    "dd",
    "desc",
    "details",
    "dialog",
    "dir",
    "div",
    "dl",
    "dt",
    "em",
    "embed",
    "fieldset",
    "figcaption",
    "figure",
    "font",
    "footer",
    "foreignobject",
    "form",
    "frame",
    "frameset",
    "h1",
    "h2",
    "h3",
    "h4",
    "h5",
    "h6",
    "head",
    "header",
    "hgroup",
    "hr",
    "html",
    "i",
    "iframe",
    "image",
    "img",
    "input",
    "keygen",
    "legend",
    "li",
    "link",
    "listing",
    "main",
    "malignmark",
    "marquee",
    "math",
    "menu",
    "meta",
    "mglyph",
    "mi",
    "mn",
    "mo",
    "ms",
    "mtext",
    "nav",
    "nobr",
    "noembed",
    "noframes",
    "noscript",
    "object",
    "ol",
    "optgroup",
    "option",
    "p",
    "param",
    "plaintext",
    "pre",
    "rb",
    "rp",
    "rt",
    "rtc",
    "ruby",
    "s",
    "script",
    "search",
    "section",
    "select",
    "small",
    "source",
    "span",
    "strike",
    "strong",
    "style",
    "sub",
    "summary",
    "sup",
    "svg",
    "table",
    "tbody",
    "td",
    "template",
    "textarea",
    "tfoot",
    "th",
    "thead",
    "title",
    "tr",
    "track",
    "tt",
    "u",
    "ul",
    "var",
    "video",
    "wbr",
    "xmp",
};

constexpr std::uint32_t hashOf(std::string_view name) {
    std::uint32_t hash = 2166136261U;
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619U;
    }
    return hash;
}

// An open-addressed table, filled at compile time: one hash and, mostly, one
// comparison per tag name.
constexpr std::size_t kSlots = 512;

constexpr std::array<Tag, kSlots> kTable = [] {
    std::array<Tag, kSlots> table{};
    for (std::size_t i = 1; i < std::size(kNames); ++i) {
        std::size_t slot = hashOf(kNames[i]) % kSlots;
        while (table[slot] != Tag::Other) {
            slot = (slot + 1) % kSlots;
        }
        table[slot] = static_cast<Tag>(i);
    }
    return table;
}();

} // namespace

Tag tagOf(std::string_view name) {
    for (std::size_t slot = hashOf(name) % kSlots;; slot = (slot + 1) % kSlots) {
        const Tag tag = kTable[slot];
        if (tag == Tag::Other || kNames[static_cast<std::size_t>(tag)] == name) {
            return tag;
        }
    }
}

std::string_view nameOf(Tag tag) {
    return kNames[static_cast<std::size_t>(tag)];
}

} // namespace vantrel::extractor::html
