// The insertion modes outside tables, foreign content, and the shared steps:
// inserting and removing open elements, scopes, implied end tags, and the
// active formatting elements.
#include "html/HtmlTreeBuilder.h"

#include "html/HtmlDoctype.h"
#include "html/HtmlTokenizer.h"

#include <algorithm>
#include <array>
#include <functional>
#include <utility>

namespace vantrel::extractor::html {
namespace {

std::uint64_t hashName(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

// What tells open elements apart: a known tag is its own key, and only names
// outside the table of tags are hashed (the top bit keeps the two apart).
std::uint64_t nameKey(Tag tag, std::string_view name) {
    return tag != Tag::Other ? static_cast<std::uint64_t>(tag) : hashName(name) | (1ULL << 63);
}

// The same for any order of the attributes.
std::uint64_t hashAttributes(std::span<const Attribute> attributes) {
    std::uint64_t sum = 0;
    for (const Attribute& a : attributes) {
        sum += hashName(a.name) * 31 + hashName(a.value);
    }
    return sum;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

std::size_t leadingSpace(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && isSpace(text[n])) {
        ++n;
    }
    return n;
}

// The modes before the body ignore white space; false when nothing else is left.
bool dropLeadingSpace(std::string_view& text) {
    text.remove_prefix(leadingSpace(text));
    return !text.empty();
}

bool isOneOf(Tag tag, std::initializer_list<Tag> tags) {
    return std::find(tags.begin(), tags.end(), tag) != tags.end();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) {
                   return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
               };
               return lower(x) == lower(y);
           });
}

constexpr std::initializer_list<Tag> kHeadings = {Tag::H1, Tag::H2, Tag::H3,
                                                  Tag::H4, Tag::H5, Tag::H6};

using TagSet = std::array<bool, 256>;

constexpr TagSet tagSet(std::initializer_list<Tag> tags) {
    TagSet set{};
    for (const Tag tag : tags) {
        set[static_cast<std::size_t>(tag)] = true;
    }
    return set;
}

bool has(const TagSet& set, Tag tag) {
    return set[static_cast<std::size_t>(tag)];
}

// HTML elements with parsing rules of their own that stop several searches.
constexpr TagSet kSpecialHtml = tagSet({
    Tag::Address,    Tag::Applet,   Tag::Area,       Tag::Article,  Tag::Aside,   Tag::Base,
    Tag::Basefont,   Tag::Bgsound,  Tag::Blockquote, Tag::Body,     Tag::Br,      Tag::Button,
    Tag::Caption,    Tag::Center,   Tag::Col,        Tag::Colgroup, Tag::Dd,      Tag::Details,
    Tag::Dir,        Tag::Div,      Tag::Dl,         Tag::Dt,       Tag::Embed,   Tag::Fieldset,
    Tag::Figcaption, Tag::Figure,   Tag::Footer,     Tag::Form,     Tag::Frame,   Tag::Frameset,
    Tag::H1,         Tag::H2,       Tag::H3,         Tag::H4,       Tag::H5,      Tag::H6,
    Tag::Head,       Tag::Header,   Tag::Hgroup,     Tag::Hr,       Tag::Html,    Tag::Iframe,
    Tag::Img,        Tag::Input,    Tag::Keygen,     Tag::Li,       Tag::Link,    Tag::Listing,
    Tag::Main,       Tag::Marquee,  Tag::Menu,       Tag::Meta,     Tag::Nav,     Tag::Noembed,
    Tag::Noframes,   Tag::Noscript, Tag::Object,     Tag::Ol,       Tag::P,       Tag::Param,
    Tag::Plaintext,  Tag::Pre,      Tag::Script,     Tag::Search,   Tag::Section, Tag::Select,
    Tag::Source,     Tag::Style,    Tag::Summary,    Tag::Table,    Tag::Tbody,   Tag::Td,
    Tag::Template,   Tag::Textarea, Tag::Tfoot,      Tag::Th,       Tag::Thead,   Tag::Title,
    Tag::Tr,         Tag::Track,    Tag::Ul,         Tag::Wbr,      Tag::Xmp,
});

// What the body hands to the head's rules, and the formatting elements.
constexpr TagSet kHeadElements =
    tagSet({Tag::Base, Tag::Basefont, Tag::Bgsound, Tag::Link, Tag::Meta, Tag::Noframes,
            Tag::Script, Tag::Style, Tag::Template, Tag::Title});
constexpr TagSet kFormatting =
    tagSet({Tag::A, Tag::B, Tag::Big, Tag::Code, Tag::Em, Tag::Font, Tag::I, Tag::Nobr, Tag::S,
            Tag::Small, Tag::Strike, Tag::Strong, Tag::Tt, Tag::U});
// Start tags the body ignores, and those that close an open p first.
constexpr TagSet kIgnoredInBody =
    tagSet({Tag::Caption, Tag::Col, Tag::Colgroup, Tag::Frame, Tag::Head, Tag::Html, Tag::Tbody,
            Tag::Td, Tag::Tfoot, Tag::Th, Tag::Thead, Tag::Tr});
constexpr TagSet kBlockStarts = tagSet({
    Tag::Address, Tag::Article, Tag::Aside,  Tag::Blockquote, Tag::Center,   Tag::Details,
    Tag::Dialog,  Tag::Dir,     Tag::Div,    Tag::Dl,         Tag::Fieldset, Tag::Figcaption,
    Tag::Figure,  Tag::Footer,  Tag::Header, Tag::Hgroup,     Tag::Main,     Tag::Menu,
    Tag::Nav,     Tag::Ol,      Tag::P,      Tag::Search,     Tag::Section,  Tag::Summary,
    Tag::Ul,      Tag::H1,      Tag::H2,     Tag::H3,         Tag::H4,       Tag::H5,
    Tag::H6,
});
// End tags that close their element when it is in scope.
constexpr TagSet kBlockEnds = tagSet({
    Tag::Address,    Tag::Article, Tag::Aside,  Tag::Blockquote, Tag::Button,  Tag::Center,
    Tag::Details,    Tag::Dialog,  Tag::Dir,    Tag::Div,        Tag::Dl,      Tag::Fieldset,
    Tag::Figcaption, Tag::Figure,  Tag::Footer, Tag::Header,     Tag::Hgroup,  Tag::Listing,
    Tag::Main,       Tag::Menu,    Tag::Nav,    Tag::Ol,         Tag::Pre,     Tag::Search,
    Tag::Section,    Tag::Summary, Tag::Ul,     Tag::Applet,     Tag::Marquee, Tag::Object,
});
constexpr TagSet kHeadingSet = tagSet({Tag::H1, Tag::H2, Tag::H3, Tag::H4, Tag::H5, Tag::H6});
// HTML start tags that end foreign content.
constexpr TagSet kBreaksOutOfForeign = tagSet({
    Tag::B,      Tag::Big,    Tag::Blockquote, Tag::Body,    Tag::Br,    Tag::Center, Tag::Code,
    Tag::Dd,     Tag::Div,    Tag::Dl,         Tag::Dt,      Tag::Em,    Tag::Embed,  Tag::H1,
    Tag::H2,     Tag::H3,     Tag::H4,         Tag::H5,      Tag::H6,    Tag::Head,   Tag::Hr,
    Tag::I,      Tag::Img,    Tag::Li,         Tag::Listing, Tag::Menu,  Tag::Meta,   Tag::Nobr,
    Tag::Ol,     Tag::P,      Tag::Pre,        Tag::Ruby,    Tag::S,     Tag::Small,  Tag::Span,
    Tag::Strong, Tag::Strike, Tag::Sub,        Tag::Sup,     Tag::Table, Tag::Tt,     Tag::U,
    Tag::Ul,     Tag::Var,
});

bool isSpecialHtml(Tag tag) {
    return has(kSpecialHtml, tag);
}

bool isMathTextPoint(Ns ns, Tag tag) {
    return ns == Ns::MathMl && isOneOf(tag, {Tag::Mi, Tag::Mo, Tag::Mn, Tag::Ms, Tag::Mtext});
}

// The foreign elements that scopes and the special category share.
bool isForeignBoundary(Ns ns, Tag tag) {
    return isMathTextPoint(ns, tag) || (ns == Ns::MathMl && tag == Tag::AnnotationXml) ||
           (ns == Ns::Svg && isOneOf(tag, {Tag::Foreignobject, Tag::Desc, Tag::Title}));
}

bool isHtmlIntegrationPoint(Ns ns, Tag tag, bool annotationHoldsHtml) {
    return annotationHoldsHtml ||
           (ns == Ns::Svg && isOneOf(tag, {Tag::Foreignobject, Tag::Desc, Tag::Title}));
}

constexpr Attribute kHiddenAttribute[] = {{"hidden", ""}};

} // namespace

// --- Tokens in --------------------------------------------------------------

void TreeBuilder::startTag(std::string_view name, std::span<const Attribute> attributes,
                           bool selfClosing) {
    skipNewline_ = false;
    Token t{TokenType::Start, tagOf(name), name, attributes, selfClosing, {}};
    dispatch(t);
    syncForeignContent();
}

void TreeBuilder::endTag(std::string_view name) {
    skipNewline_ = false;
    Token t{TokenType::End, tagOf(name), name, {}, false, {}};
    dispatch(t);
    syncForeignContent();
}

void TreeBuilder::characters(std::string_view text) {
    if (skipNewline_ && !text.empty()) {
        skipNewline_ = false;
        if (text.front() == '\n') {
            text.remove_prefix(1); // the line end right after <pre> or <textarea>
        }
    }
    Token t{TokenType::Characters, Tag::Other, {}, {}, false, text};
    while (!t.text.empty() && !stopped_) {
        dispatch(t);
    }
    syncForeignContent();
}

// Comments show nowhere; one only ends a run of table text.
void TreeBuilder::comment(std::string_view) {
    skipNewline_ = false;
    if (mode_ == Mode::InTableText) {
        flushTableText();
    }
}

void TreeBuilder::doctype(const Doctype& doctype) {
    skipNewline_ = false;
    if (mode_ == Mode::Initial) {
        quirks_ = doctypeMeansQuirks(doctype);
        mode_ = Mode::BeforeHtml;
    } else if (mode_ == Mode::InTableText) {
        flushTableText();
    }
}

void TreeBuilder::endOfFile() {
    Token t{TokenType::EndOfFile, Tag::Other, {}, {}, false, {}};
    // Each mode's end-of-file rule ends in stopping; the bound only guards.
    for (int i = 0; i < 4 * static_cast<int>(kMaxDepth) && !stopped_; ++i) {
        dispatch(t);
    }
    stopParsing();
}

std::string TreeBuilder::finish() {
    stopParsing();
    return main_.finish();
}

// --- Dispatch ---------------------------------------------------------------

bool TreeBuilder::htmlRulesApply(const Token& t) const {
    if (stack_.empty() || t.type == TokenType::EndOfFile) {
        return true;
    }
    const OpenElement& node = stack_.back();
    if (node.ns == Ns::Html) {
        return true;
    }
    const bool start = t.type == TokenType::Start;
    const bool chars = t.type == TokenType::Characters;
    if (isMathTextPoint(node.ns, node.tag) &&
        ((start && t.tag != Tag::Mglyph && t.tag != Tag::Malignmark) || chars)) {
        return true;
    }
    if (node.ns == Ns::MathMl && node.tag == Tag::AnnotationXml && start && t.tag == Tag::Svg) {
        return true;
    }
    return isHtmlIntegrationPoint(node.ns, node.tag, node.htmlIntegrationPoint) && (start || chars);
}

void TreeBuilder::dispatch(Token& t) {
    if (htmlRulesApply(t)) {
        apply(mode_, t);
    } else {
        inForeign(t);
    }
}

void TreeBuilder::apply(Mode mode, Token& t) {
    switch (mode) {
    case Mode::Initial:
        initial(t);
        break;
    case Mode::BeforeHtml:
        beforeHtml(t);
        break;
    case Mode::BeforeHead:
        beforeHead(t);
        break;
    case Mode::InHead:
        inHead(t);
        break;
    case Mode::AfterHead:
        afterHead(t);
        break;
    case Mode::InBody:
        inBody(t);
        break;
    case Mode::Text:
        textMode(t);
        break;
    case Mode::InTable:
        inTable(t);
        break;
    case Mode::InTableText:
        inTableText(t);
        break;
    case Mode::InCaption:
        inCaption(t);
        break;
    case Mode::InColumnGroup:
        inColumnGroup(t);
        break;
    case Mode::InTableBody:
        inTableBody(t);
        break;
    case Mode::InRow:
        inRow(t);
        break;
    case Mode::InCell:
        inCell(t);
        break;
    case Mode::InSelect:
        inSelect(t);
        break;
    case Mode::InSelectInTable:
        inSelectInTable(t);
        break;
    case Mode::InTemplate:
        inTemplate(t);
        break;
    case Mode::AfterBody:
        afterBody(t);
        break;
    case Mode::InFrameset:
    case Mode::AfterFrameset:
        inFrameset(t);
        break;
    case Mode::AfterAfterBody:
    case Mode::AfterAfterFrameset:
        afterAfter(t);
        break;
    }
}

// --- Before the body --------------------------------------------------------

void TreeBuilder::initial(Token& t) {
    if (t.type == TokenType::Characters && !dropLeadingSpace(t.text)) {
        return;
    }
    quirks_ = true; // no DOCTYPE
    mode_ = Mode::BeforeHtml;
    if (t.type != TokenType::Characters) {
        dispatch(t);
    }
}

void TreeBuilder::beforeHtml(Token& t) {
    if (t.type == TokenType::Characters && !dropLeadingSpace(t.text)) {
        return;
    }
    if (t.type == TokenType::Start && t.tag == Tag::Html) {
        insertHtml(t);
        mode_ = Mode::BeforeHead;
        return;
    }
    if (t.type == TokenType::End && !isOneOf(t.tag, {Tag::Head, Tag::Body, Tag::Html, Tag::Br})) {
        return;
    }
    insertHtml("html", Tag::Html, {});
    mode_ = Mode::BeforeHead;
    if (t.type != TokenType::Characters) {
        dispatch(t);
    }
}

void TreeBuilder::beforeHead(Token& t) {
    if (t.type == TokenType::Characters && !dropLeadingSpace(t.text)) {
        return;
    }
    if (t.type == TokenType::Start && t.tag == Tag::Html) {
        inBody(t);
        return;
    }
    if (t.type == TokenType::End && !isOneOf(t.tag, {Tag::Head, Tag::Body, Tag::Html, Tag::Br})) {
        return;
    }
    const bool explicitHead = t.type == TokenType::Start && t.tag == Tag::Head;
    if (explicitHead) {
        insertHtml(t);
    } else {
        insertHtml("head", Tag::Head, {});
    }
    headId_ = stack_.back().id;
    mode_ = Mode::InHead;
    if (!explicitHead && t.type != TokenType::Characters) {
        dispatch(t);
    }
}

// The head and after-head modes keep a text's leading white space where they
// are; false when nothing else is left of it.
bool TreeBuilder::insertLeadingSpace(Token& t) {
    const std::size_t space = leadingSpace(t.text);
    insertText(t.text.substr(0, space));
    t.text.remove_prefix(space);
    return !t.text.empty();
}

void TreeBuilder::inHead(Token& t) {
    if (t.type == TokenType::Characters) {
        if (!insertLeadingSpace(t)) {
            return;
        }
    } else if (t.type == TokenType::Start) {
        switch (t.tag) {
        case Tag::Html:
            inBody(t);
            return;
        case Tag::Base:
        case Tag::Basefont:
        case Tag::Bgsound:
        case Tag::Link:
        case Tag::Meta:
            insertVoid(t);
            return;
        case Tag::Title:
            rawText(t, TextState::RcData);
            return;
        // The scripting flag is on, as in a browser that runs scripts.
        case Tag::Noscript:
        case Tag::Noframes:
        case Tag::Style:
            rawText(t, TextState::RawText);
            return;
        case Tag::Script:
            rawText(t, TextState::ScriptData);
            return;
        case Tag::Template:
            if (insertHtml(t)) {
                insertMarker();
                framesetOk_ = false;
                mode_ = Mode::InTemplate;
                templateModes_.push_back(Mode::InTemplate);
            }
            return;
        case Tag::Head:
            return;
        default:
            break;
        }
    } else if (t.type == TokenType::End) {
        if (t.tag == Tag::Head) {
            popCurrent();
            mode_ = Mode::AfterHead;
            return;
        }
        if (t.tag == Tag::Template) {
            if (!hasTemplate()) {
                return;
            }
            generateImpliedEndTags(Tag::Other, true);
            popUntil(Tag::Template);
            clearFormattingToMarker();
            if (!templateModes_.empty()) {
                templateModes_.pop_back();
            }
            resetInsertionMode();
            return;
        }
        if (!isOneOf(t.tag, {Tag::Body, Tag::Html, Tag::Br})) {
            return;
        }
    }
    popCurrent(); // the head
    mode_ = Mode::AfterHead;
    if (t.type != TokenType::Characters) {
        dispatch(t);
    }
}

void TreeBuilder::afterHead(Token& t) {
    if (t.type == TokenType::Characters) {
        if (!insertLeadingSpace(t)) {
            return;
        }
    } else if (t.type == TokenType::Start) {
        switch (t.tag) {
        case Tag::Html:
            inBody(t);
            return;
        case Tag::Body:
            if (insertHtml(t)) {
                framesetOk_ = false;
                mode_ = Mode::InBody;
            }
            return;
        case Tag::Frameset:
            if (insertHtml(t)) {
                mode_ = Mode::InFrameset;
            }
            return;
        case Tag::Base:
        case Tag::Basefont:
        case Tag::Bgsound:
        case Tag::Link:
        case Tag::Meta:
        case Tag::Noframes:
        case Tag::Script:
        case Tag::Style:
        case Tag::Template:
        case Tag::Title: {
            // Into the head after all, which is closed again behind it.
            push({nameKey(Tag::Head, "head"), headId_, 0, 1, Tag::Head, Ns::Html, false});
            main_.open(Tag::Head, {}, false);
            inHead(t);
            for (std::size_t i = stack_.size(); i-- > 0;) {
                if (stack_[i].id == headId_) {
                    removeFromStack(i);
                    break;
                }
            }
            return;
        }
        case Tag::Head:
            return;
        default:
            break;
        }
    } else if (t.type == TokenType::End) {
        if (t.tag == Tag::Template) {
            inHead(t);
            return;
        }
        if (!isOneOf(t.tag, {Tag::Body, Tag::Html, Tag::Br})) {
            return;
        }
    }
    insertHtml("body", Tag::Body, {});
    mode_ = Mode::InBody;
    if (t.type != TokenType::Characters) {
        dispatch(t);
    }
}

// --- In body ----------------------------------------------------------------

void TreeBuilder::inBody(Token& t) {
    switch (t.type) {
    case TokenType::Characters:
        inBodyCharacters(t);
        return;
    case TokenType::Start:
        inBodyStart(t);
        return;
    case TokenType::End:
        inBodyEnd(t);
        return;
    case TokenType::EndOfFile:
        if (!templateModes_.empty()) {
            inTemplate(t);
        } else {
            stopParsing();
        }
        return;
    }
}

// NUL characters are dropped; the rest is text.
void TreeBuilder::inBodyCharacters(Token& t) {
    std::string_view text = t.text;
    t.text = {};
    while (!text.empty()) {
        const std::size_t nul = text.find('\0');
        const std::string_view run = text.substr(0, nul);
        if (!run.empty()) {
            reconstructFormatting();
            insertText(run);
            if (leadingSpace(run) != run.size()) {
                framesetOk_ = false;
            }
        }
        text.remove_prefix(nul == std::string_view::npos ? text.size() : nul + 1);
    }
}

void TreeBuilder::inBodyStart(Token& t) {
    if (has(kHeadElements, t.tag)) {
        inHead(t);
    } else if (has(kFormatting, t.tag)) {
        inBodyStartFormatting(t);
    } else if (has(kBlockStarts, t.tag)) {
        closePInButtonScope();
        if (has(kHeadingSet, t.tag) && !stack_.empty() && stack_.back().ns == Ns::Html &&
            has(kHeadingSet, stack_.back().tag)) {
            popCurrent(); // headings do not nest
        }
        insertHtml(t);
    } else if (t.tag == Tag::Li || t.tag == Tag::Dd || t.tag == Tag::Dt) {
        listItemStart(t);
    } else if (t.tag == Tag::Body) {
        if (stack_.size() > 1 && stack_[1].tag == Tag::Body && !hasTemplate()) {
            framesetOk_ = false;
        }
    } else if (t.tag == Tag::Frameset) {
        framesetStart(t);
    } else if (t.tag == Tag::Image) {
        t.tag = Tag::Img;
        t.name = "img";
        inBodyStartLeaf(t);
    } else if (!has(kIgnoredInBody, t.tag) && !inBodyStartLeaf(t)) {
        inBodyStartContainer(t);
    }
}

// Elements that hold no other elements: void ones, and those of text only.
bool TreeBuilder::inBodyStartLeaf(Token& t) {
    switch (t.tag) {
    case Tag::Area:
    case Tag::Br:
    case Tag::Embed:
    case Tag::Img:
    case Tag::Keygen:
    case Tag::Wbr:
    case Tag::Input:
        reconstructFormatting();
        insertVoid(t);
        framesetOk_ = false;
        return true;
    case Tag::Param:
    case Tag::Source:
    case Tag::Track:
        insertVoid(t);
        return true;
    case Tag::Hr:
        closePInButtonScope();
        insertVoid(t);
        framesetOk_ = false;
        return true;
    case Tag::Textarea:
        if (insertHtml(t, true)) {
            skipNewline_ = true;
            switchTokenizer(TextState::RcData);
            originalMode_ = mode_;
            mode_ = Mode::Text;
        }
        framesetOk_ = false;
        return true;
    case Tag::Xmp:
        closePInButtonScope();
        reconstructFormatting();
        framesetOk_ = false;
        rawText(t, TextState::RawText);
        return true;
    case Tag::Iframe:
        framesetOk_ = false;
        rawText(t, TextState::RawText);
        return true;
    case Tag::Noembed:
    case Tag::Noscript:
        rawText(t, TextState::RawText);
        return true;
    case Tag::Plaintext:
        closePInButtonScope();
        insertHtml(t, true);
        switchTokenizer(TextState::PlainText);
        return true;
    default:
        return false;
    }
}

void TreeBuilder::inBodyStartContainer(Token& t) {
    switch (t.tag) {
    case Tag::Pre:
    case Tag::Listing:
        closePInButtonScope();
        skipNewline_ = insertHtml(t);
        framesetOk_ = false;
        return;
    case Tag::Form:
        if (formId_ != 0 && !hasTemplate()) {
            return;
        }
        closePInButtonScope();
        if (insertHtml(t) && !hasTemplate()) {
            formId_ = stack_.back().id;
        }
        return;
    case Tag::Button:
        if (inScope(Tag::Button)) {
            generateImpliedEndTags();
            popUntil(Tag::Button);
        }
        reconstructFormatting();
        insertHtml(t);
        framesetOk_ = false;
        return;
    case Tag::Applet:
    case Tag::Marquee:
    case Tag::Object:
        reconstructFormatting();
        if (insertHtml(t)) {
            insertMarker();
        }
        framesetOk_ = false;
        return;
    case Tag::Table:
        if (!quirks_) {
            closePInButtonScope();
        }
        if (insertHtml(t)) {
            framesetOk_ = false;
            mode_ = Mode::InTable;
        }
        return;
    case Tag::Select:
        selectStart(t);
        return;
    case Tag::Optgroup:
    case Tag::Option:
        if (currentIs(Tag::Option)) {
            popCurrent();
        }
        reconstructFormatting();
        insertHtml(t);
        return;
    case Tag::Rb:
    case Tag::Rtc:
    case Tag::Rp:
    case Tag::Rt:
        if (inScope(Tag::Ruby)) {
            generateImpliedEndTags(isOneOf(t.tag, {Tag::Rp, Tag::Rt}) ? Tag::Rtc : Tag::Other);
        }
        insertHtml(t);
        return;
    case Tag::Math:
    case Tag::Svg:
        reconstructFormatting();
        if (insertForeign(t, t.tag == Tag::Math ? Ns::MathMl : Ns::Svg) && t.selfClosing) {
            popCurrent();
        }
        return;
    default:
        reconstructFormatting();
        insertHtml(t);
        return;
    }
}

void TreeBuilder::selectStart(Token& t) {
    reconstructFormatting();
    if (insertHtml(t)) {
        framesetOk_ = false;
        const bool inTableModes = mode_ == Mode::InTable || mode_ == Mode::InCaption ||
                                  mode_ == Mode::InTableBody || mode_ == Mode::InRow ||
                                  mode_ == Mode::InCell;
        mode_ = inTableModes ? Mode::InSelectInTable : Mode::InSelect;
    }
}

void TreeBuilder::inBodyStartFormatting(Token& t) {
    if (t.tag == Tag::A) {
        for (std::size_t i = formatting_.size(); i-- > 0 && formatting_[i].id != 0;) {
            if (formatting_[i].tag != Tag::A) {
                continue;
            }
            const std::uint32_t id = formatting_[i].id;
            adoptionAgency(t);
            if (const std::size_t at = formattingIndexOf(id); at != formatting_.size()) {
                formatting_.erase(formatting_.begin() + static_cast<std::ptrdiff_t>(at));
            }
            for (std::size_t j = stack_.size(); j-- > 0;) {
                if (stack_[j].id == id) {
                    removeFromStack(j);
                    break;
                }
            }
            break;
        }
    }
    reconstructFormatting();
    if (t.tag == Tag::Nobr && inScope(Tag::Nobr)) {
        adoptionAgency(t);
        reconstructFormatting();
    }
    insertFormatting(t);
}

void TreeBuilder::listItemStart(Token& t) {
    framesetOk_ = false;
    for (std::size_t i = stack_.size(); i-- > 0;) {
        const OpenElement& node = stack_[i];
        const bool dl = t.tag != Tag::Li;
        if (node.ns == Ns::Html &&
            (dl ? (node.tag == Tag::Dd || node.tag == Tag::Dt) : node.tag == Tag::Li)) {
            const Tag found = node.tag;
            generateImpliedEndTags(found);
            popUntil(found);
            break;
        }
        const bool special =
            node.ns == Ns::Html ? isSpecialHtml(node.tag) : isForeignBoundary(node.ns, node.tag);
        if (special &&
            !(node.ns == Ns::Html && isOneOf(node.tag, {Tag::Address, Tag::Div, Tag::P}))) {
            break;
        }
    }
    closePInButtonScope();
    insertHtml(t);
}

void TreeBuilder::framesetStart(Token& t) {
    if (stack_.size() < 2 || stack_[1].tag != Tag::Body || !framesetOk_) {
        return;
    }
    // The body goes, and with it anything it showed so far: a frameset
    // page shows its frames only.
    popUntilIndex(1);
    if (insertHtml(t)) {
        mode_ = Mode::InFrameset;
    }
}

void TreeBuilder::inBodyEnd(Token& t) {
    if (has(kFormatting, t.tag)) {
        if (!adoptionAgency(t)) {
            anyOtherEndTag(t);
        }
        return;
    }
    if (has(kBlockEnds, t.tag)) {
        if (inScope(t.tag)) {
            generateImpliedEndTags();
            popUntil(t.tag);
            if (isOneOf(t.tag, {Tag::Applet, Tag::Marquee, Tag::Object})) {
                clearFormattingToMarker();
            }
        }
        return;
    }
    switch (t.tag) {
    case Tag::Template:
        inHead(t);
        return;
    case Tag::Body:
    case Tag::Html:
        if (inScope(Tag::Body)) {
            mode_ = Mode::AfterBody;
            if (t.tag == Tag::Html) {
                dispatch(t);
            }
        }
        return;
    case Tag::Form:
        inBodyEndForm();
        return;
    case Tag::P:
        if (!inScope(Tag::P, Scope::Button)) {
            insertHtml("p", Tag::P, {}); // an empty paragraph
        }
        closeP();
        return;
    case Tag::Br: {
        Token br{TokenType::Start, Tag::Br, "br", {}, false, {}};
        inBodyStartLeaf(br);
        return;
    }
    default:
        inBodyEndItems(t);
        return;
    }
}

void TreeBuilder::inBodyEndItems(Token& t) {
    if (t.tag == Tag::Li || t.tag == Tag::Dd || t.tag == Tag::Dt) {
        if (inScope(t.tag, t.tag == Tag::Li ? Scope::ListItem : Scope::Default)) {
            generateImpliedEndTags(t.tag);
            popUntil(t.tag);
        }
    } else if (has(kHeadingSet, t.tag)) {
        const bool any =
            std::any_of(kHeadings.begin(), kHeadings.end(), [&](Tag h) { return inScope(h); });
        if (any) {
            generateImpliedEndTags();
            while (!stack_.empty() && !currentIsOneOf(kHeadings)) {
                popCurrent();
            }
            popCurrent();
        }
    } else {
        anyOtherEndTag(t);
    }
}

void TreeBuilder::inBodyEndForm() {
    if (hasTemplate()) {
        if (inScope(Tag::Form)) {
            generateImpliedEndTags();
            popUntil(Tag::Form);
        }
        return;
    }
    const std::uint32_t form = std::exchange(formId_, 0);
    std::size_t at = stack_.size();
    for (std::size_t i = stack_.size(); i-- > 0 && form != 0;) {
        if (stack_[i].id == form) {
            at = i;
            break;
        }
    }
    if (at == stack_.size() || !indexInScope(at)) {
        return;
    }
    generateImpliedEndTags();
    removeFromStack(at);
}

void TreeBuilder::anyOtherEndTag(const Token& t) {
    const std::uint64_t hash = nameKey(t.tag, t.name);
    if (counts_[countIndex(t.tag, hash)] == 0) {
        return; // no such element open: nothing to search for
    }
    for (std::size_t i = stack_.size(); i-- > 0;) {
        const OpenElement& node = stack_[i];
        if (node.ns == Ns::Html && node.tag == t.tag && node.key == hash) {
            generateImpliedEndTags(t.tag);
            popUntilIndex(i);
            return;
        }
        if (node.ns == Ns::Html ? isSpecialHtml(node.tag) : isForeignBoundary(node.ns, node.tag)) {
            return;
        }
    }
}

// --- Text, frames, after the body -------------------------------------------

void TreeBuilder::textMode(Token& t) {
    if (t.type == TokenType::Characters) {
        insertText(t.text);
        t.text = {};
        return;
    }
    if (t.type == TokenType::Start) {
        return; // the tokenizer gives none here
    }
    popCurrent();
    mode_ = originalMode_;
    if (t.type == TokenType::EndOfFile) {
        dispatch(t);
    }
}

void TreeBuilder::afterBody(Token& t) {
    if (t.type == TokenType::Characters && leadingSpace(t.text) == t.text.size()) {
        inBody(t);
        return;
    }
    if (t.type == TokenType::Start && t.tag == Tag::Html) {
        inBody(t);
        return;
    }
    if (t.type == TokenType::End && t.tag == Tag::Html) {
        mode_ = Mode::AfterAfterBody;
        return;
    }
    if (t.type == TokenType::EndOfFile) {
        stopParsing();
        return;
    }
    mode_ = Mode::InBody; // text after </body> still belongs to the body
    dispatch(t);
}

void TreeBuilder::afterAfter(Token& t) {
    const bool frameset = mode_ == Mode::AfterAfterFrameset;
    if ((t.type == TokenType::Characters && leadingSpace(t.text) == t.text.size()) ||
        (t.type == TokenType::Start && t.tag == Tag::Html)) {
        inBody(t);
        t.text = {};
        return;
    }
    if (t.type == TokenType::EndOfFile) {
        stopParsing();
        return;
    }
    if (frameset) {
        if (t.type == TokenType::Start && t.tag == Tag::Noframes) {
            inHead(t);
        }
        t.text = {};
        return;
    }
    mode_ = Mode::InBody;
    dispatch(t);
}

// Frameset pages have no text of their own; noframes content is hidden.
void TreeBuilder::inFrameset(Token& t) {
    const bool after = mode_ == Mode::AfterFrameset;
    t.text = {};
    if (t.type == TokenType::EndOfFile) {
        stopParsing();
    } else if (t.type == TokenType::Start) {
        if (t.tag == Tag::Html) {
            inBody(t);
        } else if (t.tag == Tag::Noframes) {
            inHead(t);
        } else if (!after && t.tag == Tag::Frameset) {
            insertHtml(t);
        } else if (!after && t.tag == Tag::Frame) {
            insertVoid(t);
        }
    } else if (t.type == TokenType::End) {
        if (after && t.tag == Tag::Html) {
            mode_ = Mode::AfterAfterFrameset;
        } else if (!after && t.tag == Tag::Frameset && stack_.size() > 1) {
            popCurrent();
            if (!currentIs(Tag::Frameset)) {
                mode_ = Mode::AfterFrameset;
            }
        }
    }
}

// --- Foreign content ----------------------------------------------------------

void TreeBuilder::inForeign(Token& t) {
    if (t.type == TokenType::Characters) {
        std::string_view text = t.text;
        t.text = {};
        if (leadingSpace(text) != text.size()) {
            framesetOk_ = false;
        }
        for (std::size_t nul = text.find('\0'); !text.empty(); nul = text.find('\0')) {
            insertText(text.substr(0, nul));
            if (nul == std::string_view::npos) {
                break;
            }
            insertText("\uFFFD");
            text.remove_prefix(nul + 1);
        }
        return;
    }
    if (t.type == TokenType::End) {
        foreignEnd(t);
        return;
    }
    const bool fontBreaksOut =
        t.tag == Tag::Font &&
        std::any_of(t.attributes.begin(), t.attributes.end(), [](const Attribute& a) {
            return a.name == "color" || a.name == "face" || a.name == "size";
        });
    const bool breaksOut = fontBreaksOut || has(kBreaksOutOfForeign, t.tag);
    if (breaksOut) {
        popToHtmlOrIntegrationPoint();
        apply(mode_, t);
        return;
    }
    if (insertForeign(t, stack_.back().ns) && t.selfClosing) {
        popCurrent();
    }
}

void TreeBuilder::popToHtmlOrIntegrationPoint() {
    while (!stack_.empty()) {
        const OpenElement& node = stack_.back();
        if (node.ns == Ns::Html || isMathTextPoint(node.ns, node.tag) ||
            isHtmlIntegrationPoint(node.ns, node.tag, node.htmlIntegrationPoint)) {
            return;
        }
        popCurrent();
    }
}

void TreeBuilder::foreignEnd(Token& t) {
    if (t.tag == Tag::Br || t.tag == Tag::P) {
        popToHtmlOrIntegrationPoint();
        apply(mode_, t);
        return;
    }
    const std::uint64_t hash = nameKey(t.tag, t.name);
    for (std::size_t i = stack_.size(); i-- > 1;) {
        if (stack_[i].key == hash) {
            popUntilIndex(i);
            return;
        }
        if (stack_[i - 1].ns == Ns::Html) {
            apply(mode_, t);
            return;
        }
    }
}

// --- Inserting and removing ---------------------------------------------------

TextLayout& TreeBuilder::layoutOf(std::uint16_t slot) {
    return slot == 0 ? main_ : *fostered_[slot - 1];
}

// Where a node inserted now goes: the current node's layout, or, while foster
// parenting moves content out of a table, the layout held for that table.
std::uint16_t TreeBuilder::placeSlot() {
    if (stack_.empty()) {
        return 0;
    }
    const OpenElement& target = stack_.back();
    if (fostering_ && target.ns == Ns::Html &&
        isOneOf(target.tag, {Tag::Table, Tag::Tbody, Tag::Tfoot, Tag::Thead, Tag::Tr})) {
        return fosterSlot();
    }
    return target.slot;
}

std::uint16_t TreeBuilder::fosterSlot() {
    std::size_t lastTemplate = 0;
    bool haveTemplate = false;
    if (hasTemplate()) {
        for (std::size_t i = stack_.size(); i-- > 0;) {
            if (stack_[i].ns == Ns::Html && stack_[i].tag == Tag::Template) {
                lastTemplate = i;
                haveTemplate = true;
                break;
            }
        }
    }
    if (tables_.empty()) {
        return haveTemplate ? stack_[lastTemplate].slot : stack_.front().slot;
    }
    OpenTable& table = tables_.back();
    if (haveTemplate && lastTemplate > table.index) {
        return stack_[lastTemplate].slot;
    }
    if (table.fosterSlot == 0 && fostered_.size() < 0xFFFE) {
        fostered_.push_back(std::make_unique<TextLayout>());
        table.fosterSlot = static_cast<std::uint16_t>(fostered_.size());
    }
    return table.fosterSlot == 0 ? table.slot : table.fosterSlot;
}

bool TreeBuilder::insertHtml(std::string_view name, Tag tag, std::span<const Attribute> attributes,
                             bool force) {
    if (stack_.size() >= kMaxDepth && !force) {
        layoutOf(placeSlot()).boundary(tag); // words past the cap stay apart
        return false;
    }
    const std::uint16_t slot = placeSlot();
    TextLayout& layout = layoutOf(slot);
    const OpenElement element{nameKey(tag, name), ++lastId_, slot, 1, tag, Ns::Html, false};
    if (tag == Tag::Table) {
        tables_.push_back(
            {element.id, static_cast<std::uint32_t>(stack_.size()), slot, 0, layout.mark()});
    }
    layout.open(tag, attributes, false);
    push(element);
    return true;
}

void TreeBuilder::insertVoid(const Token& t) {
    if (insertHtml(t, true)) {
        popCurrent();
    }
}

bool TreeBuilder::insertForeign(const Token& t, Ns ns) {
    if (stack_.size() >= kMaxDepth) {
        return false;
    }
    const std::uint16_t slot = placeSlot();
    bool htmlPoint = false;
    if (ns == Ns::MathMl && t.tag == Tag::AnnotationXml) {
        for (const Attribute& a : t.attributes) {
            htmlPoint = htmlPoint || (a.name == "encoding" &&
                                      (equalsIgnoringCase(a.value, "text/html") ||
                                       equalsIgnoringCase(a.value, "application/xhtml+xml")));
        }
    }
    layoutOf(slot).open(t.tag, t.attributes, true);
    push({nameKey(t.tag, t.name), ++lastId_, slot, 1, t.tag, ns, htmlPoint});
    return true;
}

void TreeBuilder::insertFormatting(const Token& t) {
    if (!insertHtml(t)) {
        return;
    }
    const std::uint64_t attributes = hashAttributes(t.attributes);
    // At most three of a family since the last marker: the oldest goes.
    std::size_t same = 0;
    std::size_t earliest = 0;
    for (std::size_t i = formatting_.size(); i-- > 0 && formatting_[i].id != 0;) {
        if (formatting_[i].tag == t.tag && formatting_[i].attributesHash == attributes) {
            ++same;
            earliest = i;
        }
    }
    if (same >= 3) {
        formatting_.erase(formatting_.begin() + static_cast<std::ptrdiff_t>(earliest));
    }
    if (formatting_.size() < kMaxDepth) {
        formatting_.push_back({attributes, stack_.back().id,
                               static_cast<std::uint32_t>(stack_.size() - 1), t.tag,
                               TextLayout::hides(t.tag, t.attributes, false)});
    }
}

void TreeBuilder::insertMarker() {
    formatting_.push_back({0, 0, 0, Tag::Other, false});
}

void TreeBuilder::insertText(std::string_view text) {
    if (!text.empty() && !stack_.empty()) {
        layoutOf(placeSlot()).text(text);
    }
}

void TreeBuilder::rawText(const Token& t, TextState state) {
    if (insertHtml(t, true)) {
        switchTokenizer(state);
        originalMode_ = mode_;
        mode_ = Mode::Text;
    }
}

void TreeBuilder::push(const OpenElement& element) {
    stack_.push_back(element);
    if (element.ns == Ns::Html) {
        ++counts_[countIndex(element.tag, element.key)];
    }
}

void TreeBuilder::popCurrent() {
    if (stack_.empty()) {
        return;
    }
    const OpenElement element = stack_.back();
    stack_.pop_back();
    if (element.ns == Ns::Html) {
        --counts_[countIndex(element.tag, element.key)];
    }
    for (std::uint16_t i = 0; i < element.frames; ++i) {
        layoutOf(element.slot).close();
    }
    if (!tables_.empty() && tables_.back().id == element.id) {
        finishTable();
    }
}

// What foster parenting moved out of the table goes before it.
void TreeBuilder::finishTable() {
    const OpenTable table = tables_.back();
    tables_.pop_back();
    if (table.fosterSlot == 0) {
        return;
    }
    TextLayout& fostered = *fostered_[table.fosterSlot - 1];
    const bool ownLine = fostered.startsOnNewLine();
    layoutOf(table.slot).insertAt(table.mark, fostered.finish(), ownLine);
    if (table.fosterSlot == fostered_.size()) {
        fostered_.pop_back();
    }
}

void TreeBuilder::popUntil(Tag tag) {
    if (counts_[countIndex(tag, 0)] == 0) {
        return; // not open: an element past the depth cap was never kept
    }
    while (!stack_.empty()) {
        const bool found = stack_.back().ns == Ns::Html && stack_.back().tag == tag;
        popCurrent();
        if (found) {
            return;
        }
    }
}

void TreeBuilder::popUntilIndex(std::size_t index) {
    while (stack_.size() > index) {
        popCurrent();
    }
}

// An element leaves the stack out of order (misnested formatting, the head
// reopened for a late <title>, a form closed from inside). What is still open
// inside it stays inside it, so its layout frame closes with the element
// above it.
void TreeBuilder::removeFromStack(std::size_t index) {
    if (index + 1 == stack_.size()) {
        popCurrent();
        return;
    }
    const OpenElement element = stack_[index];
    OpenElement& above = stack_[index + 1];
    if (above.slot == element.slot && above.frames + element.frames < 0xFFFF) {
        above.frames = static_cast<std::uint16_t>(above.frames + element.frames);
    } else {
        std::size_t frame = 0;
        for (std::size_t i = 0; i < index; ++i) {
            frame += stack_[i].slot == element.slot ? stack_[i].frames : 0;
        }
        for (std::uint16_t i = 0; i < element.frames; ++i) {
            layoutOf(element.slot).closeAt(frame);
        }
    }
    if (element.ns == Ns::Html) {
        --counts_[countIndex(element.tag, element.key)];
    }
    stack_.erase(stack_.begin() + static_cast<std::ptrdiff_t>(index));
    shiftIndexes(index + 1, -1);
}

void TreeBuilder::insertIntoStack(std::size_t index, const OpenElement& element) {
    shiftIndexes(index, 1);
    stack_.insert(stack_.begin() + static_cast<std::ptrdiff_t>(index), element);
    if (element.ns == Ns::Html) {
        ++counts_[countIndex(element.tag, element.key)];
    }
}

void TreeBuilder::shiftIndexes(std::size_t from, int delta) {
    for (Formatting& f : formatting_) {
        if (f.id != 0 && f.index >= from) {
            f.index = static_cast<std::uint32_t>(static_cast<int>(f.index) + delta);
        }
    }
    for (OpenTable& table : tables_) {
        if (table.index >= from) {
            table.index = static_cast<std::uint32_t>(static_cast<int>(table.index) + delta);
        }
    }
}

void TreeBuilder::stopParsing() {
    stopped_ = true;
    popUntilIndex(0);
}

// --- Queries and shared steps -------------------------------------------------

bool TreeBuilder::currentIs(Tag tag) const {
    return !stack_.empty() && stack_.back().ns == Ns::Html && stack_.back().tag == tag;
}

bool TreeBuilder::currentIsOneOf(std::initializer_list<Tag> tags) const {
    return !stack_.empty() && stack_.back().ns == Ns::Html && isOneOf(stack_.back().tag, tags);
}

bool TreeBuilder::inScope(Tag tag, Scope scope) const {
    if (counts_[static_cast<std::size_t>(tag)] == 0) {
        return false;
    }
    for (std::size_t i = stack_.size(); i-- > 0;) {
        const OpenElement& node = stack_[i];
        const bool html = node.ns == Ns::Html;
        if (html && node.tag == tag) {
            return true;
        }
        bool boundary = false;
        switch (scope) {
        case Scope::Table:
            boundary = html && isOneOf(node.tag, {Tag::Html, Tag::Table, Tag::Template});
            break;
        case Scope::Select:
            boundary = !(html && isOneOf(node.tag, {Tag::Optgroup, Tag::Option}));
            break;
        default:
            boundary =
                (html &&
                 isOneOf(node.tag, {Tag::Applet, Tag::Caption, Tag::Html, Tag::Table, Tag::Td,
                                    Tag::Th, Tag::Marquee, Tag::Object, Tag::Template})) ||
                isForeignBoundary(node.ns, node.tag) ||
                (scope == Scope::ListItem && html && isOneOf(node.tag, {Tag::Ol, Tag::Ul})) ||
                (scope == Scope::Button && html && node.tag == Tag::Button);
            break;
        }
        if (boundary) {
            return false;
        }
    }
    return false;
}

// Whether the element at index is in (default) scope.
bool TreeBuilder::indexInScope(std::size_t index) const {
    for (std::size_t i = stack_.size(); i-- > 0;) {
        if (i == index) {
            return true;
        }
        const OpenElement& node = stack_[i];
        if ((node.ns == Ns::Html &&
             isOneOf(node.tag, {Tag::Applet, Tag::Caption, Tag::Html, Tag::Table, Tag::Td, Tag::Th,
                                Tag::Marquee, Tag::Object, Tag::Template})) ||
            isForeignBoundary(node.ns, node.tag)) {
            return false;
        }
    }
    return false;
}

void TreeBuilder::generateImpliedEndTags(Tag except, bool thoroughly) {
    while (!stack_.empty() && stack_.back().ns == Ns::Html && stack_.back().tag != except) {
        const Tag tag = stack_.back().tag;
        const bool implied =
            isOneOf(tag, {Tag::Dd, Tag::Dt, Tag::Li, Tag::Optgroup, Tag::Option, Tag::P, Tag::Rb,
                          Tag::Rp, Tag::Rt, Tag::Rtc}) ||
            (thoroughly && isOneOf(tag, {Tag::Caption, Tag::Colgroup, Tag::Tbody, Tag::Td,
                                         Tag::Tfoot, Tag::Th, Tag::Thead, Tag::Tr}));
        if (!implied) {
            return;
        }
        popCurrent();
    }
}

void TreeBuilder::closeP() {
    generateImpliedEndTags(Tag::P);
    popUntil(Tag::P);
}

void TreeBuilder::closePInButtonScope() {
    if (inScope(Tag::P, Scope::Button)) {
        closeP();
    }
}

void TreeBuilder::clearBackTo(std::initializer_list<Tag> tags) {
    while (!stack_.empty() && !currentIsOneOf(tags)) {
        popCurrent();
    }
}

void TreeBuilder::resetInsertionMode() {
    for (std::size_t i = stack_.size(); i-- > 0;) {
        const bool last = i == 0;
        const OpenElement& node = stack_[i];
        if (node.ns != Ns::Html) {
            continue;
        }
        switch (node.tag) {
        case Tag::Select:
            mode_ = Mode::InSelect;
            for (std::size_t j = i; !last && j-- > 0;) {
                if (stack_[j].ns == Ns::Html && stack_[j].tag == Tag::Template) {
                    break;
                }
                if (stack_[j].ns == Ns::Html && stack_[j].tag == Tag::Table) {
                    mode_ = Mode::InSelectInTable;
                    break;
                }
            }
            return;
        case Tag::Td:
        case Tag::Th:
            if (!last) {
                mode_ = Mode::InCell;
                return;
            }
            break;
        case Tag::Tr:
            mode_ = Mode::InRow;
            return;
        case Tag::Tbody:
        case Tag::Thead:
        case Tag::Tfoot:
            mode_ = Mode::InTableBody;
            return;
        case Tag::Caption:
            mode_ = Mode::InCaption;
            return;
        case Tag::Colgroup:
            mode_ = Mode::InColumnGroup;
            return;
        case Tag::Table:
            mode_ = Mode::InTable;
            return;
        case Tag::Template:
            mode_ = templateModes_.empty() ? Mode::InBody : templateModes_.back();
            return;
        case Tag::Head:
            if (!last) {
                mode_ = Mode::InHead;
                return;
            }
            break;
        case Tag::Body:
            mode_ = Mode::InBody;
            return;
        case Tag::Frameset:
            mode_ = Mode::InFrameset;
            return;
        case Tag::Html:
            mode_ = headId_ == 0 ? Mode::BeforeHead : Mode::AfterHead;
            return;
        default:
            break;
        }
    }
    mode_ = Mode::InBody;
}

bool TreeBuilder::formattingInStack(const Formatting& f) const {
    return f.id != 0 && f.index < stack_.size() && stack_[f.index].id == f.id;
}

std::size_t TreeBuilder::formattingIndexOf(std::uint32_t id) const {
    for (std::size_t i = formatting_.size(); i-- > 0;) {
        if (formatting_[i].id == id) {
            return i;
        }
    }
    return formatting_.size();
}

// Formatting elements closed by a block end are opened again for the text
// that follows; past the depth cap the rest are forgotten.
void TreeBuilder::reconstructFormatting() {
    if (formatting_.empty() || formatting_.back().id == 0 ||
        formattingInStack(formatting_.back())) {
        return;
    }
    std::size_t i = formatting_.size() - 1;
    while (i > 0 && formatting_[i - 1].id != 0 && !formattingInStack(formatting_[i - 1])) {
        --i;
    }
    for (; i < formatting_.size(); ++i) {
        Formatting& f = formatting_[i];
        const std::span<const Attribute> attributes =
            f.hidden ? std::span<const Attribute>(kHiddenAttribute) : std::span<const Attribute>();
        if (!insertHtml(nameOf(f.tag), f.tag, attributes)) {
            formatting_.resize(i);
            return;
        }
        f.id = stack_.back().id;
        f.index = static_cast<std::uint32_t>(stack_.size() - 1);
    }
}

void TreeBuilder::clearFormattingToMarker() {
    while (!formatting_.empty()) {
        const bool marker = formatting_.back().id == 0;
        formatting_.pop_back();
        if (marker) {
            return;
        }
    }
}

void TreeBuilder::switchTokenizer(TextState state) {
    if (tokenizer_ != nullptr) {
        tokenizer_->switchTo(state);
    }
}

void TreeBuilder::syncForeignContent() {
    const bool foreign = !stack_.empty() && stack_.back().ns != Ns::Html;
    if (foreign != foreign_) {
        foreign_ = foreign;
        if (tokenizer_ != nullptr) {
            tokenizer_->setForeignContent(foreign);
        }
    }
}

// --- Misnested formatting ---------------------------------------------------

bool TreeBuilder::isSpecial(const OpenElement& node) {
    return node.ns == Ns::Html ? isSpecialHtml(node.tag) : isForeignBoundary(node.ns, node.tag);
}

// <b>1<p>2</b>3: the formatting element ends, and a copy of it carries on
// inside the block that opened in it. False when the end tag is to be handled
// as any other.
bool TreeBuilder::adoptionAgency(const Token& t) {
    if (currentIs(t.tag) && formattingIndexOf(stack_.back().id) == formatting_.size()) {
        popCurrent();
        return true;
    }
    for (int outer = 0; outer < 8; ++outer) {
        std::size_t fi = formatting_.size();
        for (std::size_t i = formatting_.size(); i-- > 0 && formatting_[i].id != 0;) {
            if (formatting_[i].tag == t.tag) {
                fi = i;
                break;
            }
        }
        if (fi == formatting_.size()) {
            return false;
        }
        if (!formattingInStack(formatting_[fi])) {
            formatting_.erase(formatting_.begin() + static_cast<std::ptrdiff_t>(fi));
            return true;
        }
        const std::size_t feIndex = formatting_[fi].index;
        if (!indexInScope(feIndex)) {
            return true;
        }
        std::size_t fb = feIndex + 1;
        while (fb < stack_.size() && !isSpecial(stack_[fb])) {
            ++fb;
        }
        if (fb == stack_.size()) {
            popUntilIndex(feIndex);
            formatting_.erase(formatting_.begin() + static_cast<std::ptrdiff_t>(fi));
            return true;
        }
        adoptOnce(fi, feIndex, fb);
    }
    return true;
}

void TreeBuilder::adoptOnce(std::size_t fi, std::size_t feIndex, std::size_t fb) {
    std::size_t bookmark = fi;
    bool lastIsFurthest = true;
    for (std::size_t node = fb, inner = 1;; ++inner) {
        if (--node == feIndex) {
            break;
        }
        std::size_t li = formattingIndexOf(stack_[node].id);
        if (inner > 3 && li != formatting_.size()) {
            formatting_.erase(formatting_.begin() + static_cast<std::ptrdiff_t>(li));
            bookmark -= li < bookmark ? 1 : 0;
            fi -= li < fi ? 1 : 0;
            li = formatting_.size();
        }
        if (li == formatting_.size()) {
            removeFromStack(node);
            --fb;
            continue;
        }
        // A copy takes the node's place on the stack and in the list.
        stack_[node].id = ++lastId_;
        formatting_[li].id = lastId_;
        if (lastIsFurthest) {
            bookmark = li + 1;
            lastIsFurthest = false;
        }
    }
    Formatting copy = formatting_[fi];
    formatting_.erase(formatting_.begin() + static_cast<std::ptrdiff_t>(fi));
    bookmark -= fi < bookmark ? 1 : 0;
    removeFromStack(feIndex);
    --fb;
    copy.id = ++lastId_;
    copy.index = static_cast<std::uint32_t>(fb + 1);
    insertIntoStack(fb + 1, {nameKey(copy.tag, nameOf(copy.tag)), copy.id, stack_[fb].slot, 0,
                             copy.tag, Ns::Html, false});
    formatting_.insert(formatting_.begin() +
                           static_cast<std::ptrdiff_t>(std::min(bookmark, formatting_.size())),
                       copy);
}

} // namespace vantrel::extractor::html
