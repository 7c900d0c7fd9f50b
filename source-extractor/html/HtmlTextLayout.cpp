// The layout, applied as tree construction opens and closes elements: no tree
// is kept, only the open elements' effects, so any depth costs one small
// record per level and nothing else.
#include "html/HtmlTextLayout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>

namespace vantrel::extractor::html {
namespace {

// How an element shapes the text.
enum class Kind : std::uint8_t {
    Inline,     // no effect of its own
    Hidden,     // not rendered: its whole subtree is dropped
    Block,      // starts and ends a line
    Paragraph,  // like Block, with an empty line before and after
    Pre,        // a block whose white space is kept
    PreInline,  // inline, white space kept (textarea)
    LineBreak,  // <br>
    List,       // ul, menu, dir
    NumberList, // ol
    ListItem,   // li
    Table,      // table: rows are lines
    Row,        // tr
    Cell,       // td, th: tab-separated
    Image,      // img: its alt text
    Dialog,     // hidden unless open
};

struct ElementKind {
    Tag tag;
    Kind kind;
};

constexpr ElementKind kElementKinds[] = {
    {Tag::Address, Kind::Block},    {Tag::Article, Kind::Block},
    {Tag::Aside, Kind::Block},      {Tag::Audio, Kind::Hidden},
    {Tag::Blockquote, Kind::Block}, {Tag::Br, Kind::LineBreak},
    {Tag::Canvas, Kind::Hidden},    {Tag::Caption, Kind::Block},
    {Tag::Center, Kind::Block},     {Tag::Datalist, Kind::Hidden},
    {Tag::Dd, Kind::Block},         {Tag::Details, Kind::Block},
    {Tag::Dialog, Kind::Dialog},    {Tag::Dir, Kind::List},
    {Tag::Div, Kind::Block},        {Tag::Dl, Kind::Block},
    {Tag::Dt, Kind::Block},         {Tag::Fieldset, Kind::Block},
    {Tag::Figcaption, Kind::Block}, {Tag::Figure, Kind::Block},
    {Tag::Footer, Kind::Block},     {Tag::Form, Kind::Block},
    {Tag::Frameset, Kind::Block},   {Tag::H1, Kind::Paragraph},
    {Tag::H2, Kind::Paragraph},     {Tag::H3, Kind::Paragraph},
    {Tag::H4, Kind::Paragraph},     {Tag::H5, Kind::Paragraph},
    {Tag::H6, Kind::Paragraph},     {Tag::Head, Kind::Hidden},
    {Tag::Header, Kind::Block},     {Tag::Hgroup, Kind::Block},
    {Tag::Hr, Kind::Block},         {Tag::Iframe, Kind::Hidden},
    {Tag::Img, Kind::Image},        {Tag::Legend, Kind::Block},
    {Tag::Li, Kind::ListItem},      {Tag::Listing, Kind::Pre},
    {Tag::Main, Kind::Block},       {Tag::Menu, Kind::List},
    {Tag::Nav, Kind::Block},        {Tag::Noembed, Kind::Hidden},
    {Tag::Noframes, Kind::Hidden},  {Tag::Noscript, Kind::Hidden},
    {Tag::Ol, Kind::NumberList},    {Tag::Optgroup, Kind::Block},
    {Tag::Option, Kind::Block},     {Tag::P, Kind::Paragraph},
    {Tag::Plaintext, Kind::Pre},    {Tag::Pre, Kind::Pre},
    {Tag::Script, Kind::Hidden},    {Tag::Search, Kind::Block},
    {Tag::Section, Kind::Block},    {Tag::Select, Kind::Hidden},
    {Tag::Style, Kind::Hidden},     {Tag::Summary, Kind::Block},
    {Tag::Table, Kind::Table},      {Tag::Td, Kind::Cell},
    {Tag::Template, Kind::Hidden},  {Tag::Textarea, Kind::PreInline},
    {Tag::Th, Kind::Cell},          {Tag::Title, Kind::Hidden},
    {Tag::Tr, Kind::Row},           {Tag::Ul, Kind::List},
    {Tag::Video, Kind::Hidden},     {Tag::Xmp, Kind::Pre},
};

// The kind of every tag, for a lookup by index.
constexpr std::array<Kind, 256> kKinds = [] {
    std::array<Kind, 256> kinds{};
    kinds.fill(Kind::Inline);
    for (const ElementKind& entry : kElementKinds) {
        kinds[static_cast<std::size_t>(entry.tag)] = entry.kind;
    }
    return kinds;
}();

Kind kindOf(Tag tag) {
    return kKinds[static_cast<std::size_t>(tag)];
}

constexpr std::array<bool, 256> kCollapsible = [] {
    std::array<bool, 256> table{};
    for (const unsigned char c : {' ', '\t', '\n', '\r', '\f'}) {
        table[c] = true;
    }
    return table;
}();

bool isCollapsible(char c) {
    return kCollapsible[static_cast<unsigned char>(c)];
}

// The first byte from p on that is a control character or a space (all the
// collapsible white space is), eight bytes at a time: most text has none.
const char* nextControlOrSpace(const char* p, const char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    while (end - p >= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, 8);
        // A byte below 0x21 sets its high bit here; bytes of 0x80 and above
        // (UTF-8 beyond ASCII) never do.
        if (((word - kOnes * 0x21) & ~word & kHighs) != 0) {
            break;
        }
        p += 8;
    }
    while (p<end&& static_cast<unsigned char>(*p)> 0x20) {
        ++p;
    }
    return p;
}

// An inline style that hides the element ("display: none", any case/spacing).
bool styleHides(std::string_view style) {
    std::string compact;
    compact.reserve(style.size());
    for (const char c : style) {
        if (!isCollapsible(c)) {
            compact += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
    }
    for (std::size_t at = compact.find("display:none"); at != std::string::npos;
         at = compact.find("display:none", at + 1)) {
        const bool startsDeclaration = at == 0 || compact[at - 1] == ';' || compact[at - 1] == '{';
        const std::size_t after = at + 12;
        const bool endsValue =
            after == compact.size() || compact[after] == ';' || compact[after] == '!';
        if (startsDeclaration && endsValue) {
            return true;
        }
    }
    return false;
}

// A list number attribute ("start", "value"); browsers read leading digits.
std::optional<long long> parseNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && isCollapsible(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i++] == '-';
    }
    if (i >= text.size() || text[i] < '0' || text[i] > '9') {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(value * 10 + (text[i] - '0'), 1'000'000'000LL);
    }
    return negative ? -value : value;
}

std::string romanNumeral(long long n, bool upper) {
    static constexpr std::pair<int, std::string_view> kParts[] = {
        {1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
        {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"},
    };
    std::string out;
    for (const auto& [value, digits] : kParts) {
        for (; n >= value; n -= value) {
            out += digits;
        }
    }
    if (upper) {
        std::transform(out.begin(), out.end(), out.begin(),
                       [](char c) { return static_cast<char>(c - 'a' + 'A'); });
    }
    return out;
}

std::string alphabetic(long long n, bool upper) {
    std::string out;
    for (; n > 0; n = (n - 1) / 26) {
        out.insert(out.begin(), static_cast<char>((upper ? 'A' : 'a') + (n - 1) % 26));
    }
    return out;
}

// The number of an ordered-list item in the list's style (the type attribute:
// 1, a, A, i, I); numbers a style cannot show fall back to decimal.
std::string listNumber(long long n, char style) {
    if ((style == 'a' || style == 'A') && n > 0) {
        return alphabetic(n, style == 'A');
    }
    if ((style == 'i' || style == 'I') && n > 0 && n < 4000) {
        return romanNumeral(n, style == 'I');
    }
    return std::to_string(n);
}

// List items are marked "•\t" (then "◦\t", "▪\t" deeper) or "N.\t", with one
// tab of indent per enclosing list, up to a limit that keeps hostile nesting
// from multiplying the size of the text.
constexpr std::size_t kMaxListIndent = 8;

// Foreign (SVG, MathML) elements are inline, apart from those never drawn.
Kind foreignKind(Tag tag) {
    return (tag == Tag::Script || tag == Tag::Style || tag == Tag::Title) ? Kind::Hidden
                                                                          : Kind::Inline;
}

} // namespace

TextLayout::Attributes TextLayout::readAttributes(std::span<const Attribute> attributes) {
    Attributes result;
    for (const Attribute& a : attributes) {
        if (a.name == "hidden") {
            // hidden="until-found" content is meant to be found and read
            result.hidden = result.hidden || a.value != "until-found";
        } else if (a.name == "style") {
            result.hidden = result.hidden || styleHides(a.value);
        } else if (a.name == "alt") {
            result.alt = a.value;
            result.hasAlt = true;
        } else if (a.name == "start") {
            result.start = a.value;
        } else if (a.name == "type") {
            result.type = a.value;
        } else if (a.name == "value") {
            result.value = a.value;
        } else if (a.name == "open") {
            result.open = true;
        }
    }
    return result;
}

bool TextLayout::hides(Tag tag, std::span<const Attribute> attributes, bool foreign) {
    const Attributes attrs = readAttributes(attributes);
    const Kind kind = foreign ? foreignKind(tag) : kindOf(tag);
    return attrs.hidden || kind == Kind::Hidden || (kind == Kind::Dialog && !attrs.open);
}

void TextLayout::requestBreaks(int count) {
    if (absorbing_) {
        return;
    }
    pendingBreaks_ = std::max(pendingBreaks_, count);
    prefix_.clear();
    prefixHasMarker_ = false;
}

// A <br> ends the line, and a second one in a row leaves an empty line.
void TextLayout::lineBreak() {
    if (absorbing_) {
        return;
    }
    ++pendingBreaks_;
    prefix_.clear();
    prefixHasMarker_ = false;
}

void TextLayout::beginContent() {
    startsOnNewLine_ = startsOnNewLine_ || (out_.empty() && pendingBreaks_ > 0);
    if (pendingBreaks_ > 0 && !out_.empty()) {
        int owed = pendingBreaks_;
        for (auto it = out_.rbegin(); owed > 0 && it != out_.rend() && *it == '\n'; ++it) {
            --owed; // preserved text may already have ended the line
        }
        out_.append(static_cast<std::size_t>(owed), '\n');
        pendingSpace_ = false;
    }
    pendingBreaks_ = 0;
    if (!prefix_.empty()) {
        out_ += prefix_;
        prefix_.clear();
        pendingSpace_ = false;
    }
    prefixHasMarker_ = false;
    absorbing_ = false;
    if (pendingSpace_) {
        if (!out_.empty() && out_.back() != '\n') {
            out_ += ' ';
        }
        pendingSpace_ = false;
    }
}

void TextLayout::collapsedText(std::string_view text) {
    const char* p = text.data();
    const char* end = p + text.size();
    bool begun = false;
    while (p < end) {
        const char* word = p;
        while (word < end && isCollapsible(*word)) {
            ++word;
        }
        if (word != p) {
            pendingSpace_ = true;
        }
        if (word == end) {
            break;
        }
        // Words apart by single spaces need no collapsing: written at once.
        p = word;
        while ((p = nextControlOrSpace(p, end)) != end) {
            if (!isCollapsible(*p)) {
                ++p; // a control character is part of the word
            } else if (*p == ' ' && p + 1 < end && !isCollapsible(p[1])) {
                p += 2;
            } else {
                break;
            }
        }
        if (!begun) {
            beginContent();
            begun = true;
        } else if (pendingSpace_) {
            // Between words of one run nothing else can be owed.
            out_ += ' ';
            pendingSpace_ = false;
        }
        out_.append(word, static_cast<std::size_t>(p - word));
    }
}

// Text of pre and textarea, kept as written (the tokenizer has already made
// every line end a LF, and tree construction drops the one after the tag).
void TextLayout::preservedText(std::string_view text) {
    if (!text.empty()) {
        beginContent();
        out_ += text;
    }
}

void TextLayout::startItem(Frame& frame, const Attributes& attributes) {
    requestBreaks(1);
    if (absorbing_ && prefixHasMarker_) {
        // An item whose first content is a nested list: its marker gets a line
        // of its own, as a browser shows it.
        prefix_.pop_back(); // the marker's tab: nothing follows it
        absorbing_ = false;
        beginContent();
        requestBreaks(1);
    }
    frame.undo |= kUndoItem;
    frame.absorbedBefore = absorbing_;
    frame.outputMark = out_.size();
    frame.prefixMark = prefix_.size();

    const std::size_t depth = lists_.empty() ? 1 : lists_.size();
    prefix_.append(std::min(depth, kMaxListIndent) - 1, '\t');
    if (!lists_.empty() && lists_.back().numbered) {
        ListLevel& list = lists_.back();
        if (const auto value = parseNumber(attributes.value)) {
            list.next = *value;
        }
        prefix_ += listNumber(list.next, list.style);
        prefix_ += ".\t";
        list.next = std::min(list.next + 1, 1'000'000'001LL);
    } else {
        static constexpr std::string_view kBullets[] = {"\u2022", "\u25E6", "\u25AA"};
        prefix_ += kBullets[std::min<std::size_t>(depth, 3) - 1];
        prefix_ += '\t';
    }
    prefixHasMarker_ = true;
    absorbing_ = true;
}

void TextLayout::startList(Frame& frame, bool numbered, const Attributes& attributes) {
    requestBreaks(1);
    frame.breaks = 1;
    ListLevel level{numbered, '1', 1};
    if (numbered) {
        if (attributes.type.size() == 1 && std::strchr("aAiI", attributes.type[0]) != nullptr) {
            level.style = attributes.type[0];
        }
        if (const auto start = parseNumber(attributes.start)) {
            level.next = *start;
        }
    }
    lists_.push_back(level);
    frame.undo |= kUndoList;
}

void TextLayout::startCell(Frame& frame) {
    frame.undo |= kUndoCell;
    frame.absorbedBefore = absorbing_;
    frame.outputMark = out_.size();
    if (rowCells_.back()++ > 0) {
        prefix_ += '\t';
    }
    frame.prefixMark = prefix_.size();
    absorbing_ = true;
}

void TextLayout::open(Tag tag, std::span<const Attribute> attributes, bool foreign) {
    Frame frame;
    if (hidden_ > 0) {
        // Hidden with its parent, even should the parent close first.
        ++hidden_;
        frame.undo = kUndoHidden;
        frames_.push_back(frame);
        return;
    }
    const Attributes attrs = readAttributes(attributes);
    Kind kind = foreign ? foreignKind(tag) : kindOf(tag);
    if (attrs.hidden || (kind == Kind::Dialog && !attrs.open)) {
        kind = Kind::Hidden;
    } else if (kind == Kind::Dialog) {
        kind = Kind::Block;
    }

    switch (kind) {
    case Kind::Inline:
    case Kind::Dialog:
        break;
    case Kind::Hidden:
        ++hidden_;
        frame.undo |= kUndoHidden;
        break;
    case Kind::Block:
        requestBreaks(1);
        frame.breaks = 1;
        break;
    case Kind::Paragraph:
        requestBreaks(2);
        frame.breaks = 2;
        break;
    case Kind::Pre:
        requestBreaks(1);
        frame.breaks = 1;
        [[fallthrough]];
    case Kind::PreInline:
        ++preserving_;
        frame.undo |= kUndoPre;
        break;
    case Kind::LineBreak:
        lineBreak();
        break;
    case Kind::List:
    case Kind::NumberList:
        startList(frame, kind == Kind::NumberList, attrs);
        break;
    case Kind::ListItem:
        startItem(frame, attrs);
        break;
    case Kind::Table:
        requestBreaks(1);
        frame.breaks = 1;
        rowCells_.push_back(0);
        frame.undo |= kUndoTable;
        break;
    case Kind::Row:
        requestBreaks(1);
        frame.breaks = 1;
        rowCells_.back() = 0;
        break;
    case Kind::Cell:
        startCell(frame);
        break;
    case Kind::Image:
        if (attrs.hasAlt) {
            text(attrs.alt);
        }
        break;
    }
    frames_.push_back(frame);
}

void TextLayout::boundary(Tag tag) {
    const Kind kind = kindOf(tag);
    if (hidden_ == 0 && kind != Kind::Inline && kind != Kind::Hidden && kind != Kind::Image &&
        kind != Kind::Dialog) {
        requestBreaks(1);
    }
}

void TextLayout::closeFrame(const Frame& frame) {
    if ((frame.undo & kUndoHidden) != 0) {
        --hidden_;
    }
    if ((frame.undo & kUndoPre) != 0) {
        --preserving_;
    }
    if ((frame.undo & kUndoList) != 0 && !lists_.empty()) {
        lists_.pop_back();
    }
    if ((frame.undo & kUndoTable) != 0 && rowCells_.size() > 1) {
        rowCells_.pop_back();
    }
    if ((frame.undo & (kUndoCell | kUndoItem)) != 0) {
        if (out_.size() == frame.outputMark) {
            // Nothing shown: an empty item leaves no marker, an empty cell
            // keeps its tab so the next cell stays in its column.
            prefix_.resize(std::min(prefix_.size(), frame.prefixMark));
            prefixHasMarker_ = prefixHasMarker_ && (frame.undo & kUndoItem) == 0;
            absorbing_ = frame.absorbedBefore;
        } else {
            absorbing_ = false;
            if ((frame.undo & kUndoCell) != 0) {
                // Line ends owed inside a cell do not break the row.
                pendingBreaks_ = 0;
                prefix_.clear();
                prefixHasMarker_ = false;
            }
        }
        if ((frame.undo & kUndoItem) != 0) {
            requestBreaks(1);
        }
    }
    if (frame.breaks > 0) {
        requestBreaks(frame.breaks);
    }
}

void TextLayout::close() {
    if (!frames_.empty()) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        closeFrame(frame);
    }
}

void TextLayout::closeAt(std::size_t index) {
    if (index < frames_.size()) {
        const Frame frame = frames_[index];
        frames_.erase(frames_.begin() + static_cast<std::ptrdiff_t>(index));
        closeFrame(frame);
    }
}

void TextLayout::text(std::string_view utf8) {
    if (hidden_ > 0) {
        return;
    }
    if (preserving_ > 0) {
        preservedText(utf8);
    } else {
        collapsedText(utf8);
    }
}

TextLayout::Mark TextLayout::mark() const {
    return {out_.size(), pendingBreaks_, pendingSpace_, hidden_ > 0};
}

// What a table moved out goes where the table began: joined to the text
// before it as a browser joins it, and on a line before the table's own.
void TextLayout::insertAt(const Mark& mark, std::string_view text, bool ownLine) {
    while (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    if (mark.hidden || text.empty() || mark.offset > out_.size()) {
        return;
    }
    if (mark.offset == out_.size()) {
        // Nothing shown since the table began: written as its content would
        // have been then (after an open item's marker too), and the table,
        // a block, ends the line.
        pendingBreaks_ = ownLine ? std::max(mark.breaksOwed, 1) : mark.breaksOwed;
        pendingSpace_ = mark.spaceOwed;
        beginContent();
        out_ += text;
        pendingBreaks_ = 1;
        return;
    }
    std::string piece;
    if (mark.offset > 0 && out_[mark.offset - 1] != '\n') {
        if (mark.breaksOwed > 0 || ownLine) {
            piece.append(static_cast<std::size_t>(std::max(mark.breaksOwed, 1)), '\n');
        } else if (mark.spaceOwed) {
            piece += ' ';
        }
    }
    piece += text;
    if (mark.offset < out_.size() && out_[mark.offset] != '\n') {
        piece += '\n';
    } else if (mark.offset == out_.size()) {
        pendingSpace_ = false;
    }
    out_.insert(mark.offset, piece);
}

void TextLayout::reserve(std::size_t bytes) {
    try {
        out_.reserve(std::min<std::size_t>(bytes, std::size_t{1} << 30));
    } catch (const std::bad_alloc&) {
        // Only a saving missed: the text grows as it must.
    }
}

// The text ends with exactly one line end, or is empty.
std::string TextLayout::finish() {
    while (!out_.empty() && (out_.back() == '\n' || out_.back() == ' ' || out_.back() == '\t')) {
        out_.pop_back();
    }
    if (!out_.empty()) {
        out_ += '\n';
    }
    return std::move(out_);
}

} // namespace vantrel::extractor::html
