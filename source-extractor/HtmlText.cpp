// The HTML reader. libxml2's HTML parser reports elements and text as SAX
// events and the layout below is applied as they arrive: no tree is built, so
// memory stays proportional to the input, any nesting depth is walked without
// recursion, and the tree builder's depth and text-size limits (which would
// silently cut a document short) never apply.
#include "HtmlText.h"

#include "HtmlEncoding.h"
#include "HtmlParserGuards.h"

#include <libxml/HTMLparser.h>
#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::extractor {
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
    std::string_view name;
    Kind kind;
};

// Sorted by name for binary search. Names the parser reports are lowercase.
constexpr ElementKind kElementKinds[] = {
    {"address", Kind::Block},
    {"article", Kind::Block},
    {"aside", Kind::Block},
    {"audio", Kind::Hidden},
    {"blockquote", Kind::Block},
    {"br", Kind::LineBreak},
    {"canvas", Kind::Hidden},
    {"caption", Kind::Block},
    {"center", Kind::Block},
    {"datalist", Kind::Hidden},
    {"dd", Kind::Block},
    {"details", Kind::Block},
    {"dialog", Kind::Dialog},
    {"dir", Kind::List},
    {"div", Kind::Block},
    {"dl", Kind::Block},
    {"dt", Kind::Block},
    {"fieldset", Kind::Block},
    {"figcaption", Kind::Block},
    {"figure", Kind::Block},
    {"footer", Kind::Block},
    {"form", Kind::Block},
    {"frameset", Kind::Block},
    {"h1", Kind::Paragraph},
    {"h2", Kind::Paragraph},
    {"h3", Kind::Paragraph},
    {"h4", Kind::Paragraph},
    {"h5", Kind::Paragraph},
    {"h6", Kind::Paragraph},
    {"header", Kind::Block},
    {"hgroup", Kind::Block},
    {"hr", Kind::Block},
    {"iframe", Kind::Hidden},
    {"img", Kind::Image},
    {"legend", Kind::Block},
    {"li", Kind::ListItem},
    {"listing", Kind::Pre},
    {"main", Kind::Block},
    {"menu", Kind::List},
    {"nav", Kind::Block},
    {"noembed", Kind::Hidden},
    {"noframes", Kind::Hidden},
    {"noscript", Kind::Hidden},
    {"ol", Kind::NumberList},
    {"optgroup", Kind::Block},
    {"option", Kind::Block},
    {"p", Kind::Paragraph},
    {"plaintext", Kind::Pre},
    {"pre", Kind::Pre},
    {"script", Kind::Hidden},
    {"search", Kind::Block},
    {"section", Kind::Block},
    {"select", Kind::Hidden},
    {"style", Kind::Hidden},
    {"summary", Kind::Block},
    {"table", Kind::Table},
    {"td", Kind::Cell},
    {"template", Kind::Hidden},
    {"textarea", Kind::PreInline},
    {"th", Kind::Cell},
    {"title", Kind::Hidden},
    {"tr", Kind::Row},
    {"ul", Kind::List},
    {"video", Kind::Hidden},
    {"xmp", Kind::Pre},
};

static_assert(std::is_sorted(std::begin(kElementKinds), std::end(kElementKinds),
                             [](const ElementKind& a, const ElementKind& b) {
                                 return a.name < b.name;
                             }));

Kind kindOf(std::string_view name) {
    const auto* end = std::end(kElementKinds);
    const auto* it = std::lower_bound(
        std::begin(kElementKinds), end, name,
        [](const ElementKind& entry, std::string_view key) { return entry.name < key; });
    return (it != end && it->name == name) ? it->kind : Kind::Inline;
}

std::string_view view(const xmlChar* s) {
    return s == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(s));
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

// Builds the text from the parser's events. Line ends are owed rather than
// written (`pendingBreaks_`), so that runs of block boundaries collapse to the
// largest one and nothing trails at the end; list markers and cell separators
// likewise wait (`prefix_`) for the first text that follows them.
class TextBuilder {
  public:
    void startElement(const xmlChar* name, const xmlChar** attributes);
    void endElement(const xmlChar* name);
    void characters(const char* text, std::size_t length);
    // Ends every open element, for a parse that starts afresh mid-document.
    void closeAll();
    std::size_t openElements() const { return frames_.size(); }
    std::string finish();

  private:
    enum Undo : std::uint8_t {
        kUndoHidden = 1,
        kUndoPre = 2,
        kUndoList = 4,
        kUndoTable = 8,
        kUndoCell = 16,
        kUndoItem = 32,
    };

    struct Frame {
        const xmlChar* name;
        std::uint8_t breaks; // line ends owed when the element closes
        std::uint8_t undo;
        bool absorbedBefore = false; // cells and items: state to restore
        std::size_t outputMark = 0;
        std::size_t prefixMark = 0;
    };

    struct ListLevel {
        bool numbered;
        char style;
        long long next;
    };

    struct Attributes {
        std::string_view alt, start, type, value;
        bool hidden = false;
        bool open = false;
        bool hasAlt = false;
    };

    static Attributes readAttributes(const xmlChar** attributes);
    void requestBreaks(int count);
    void lineBreak();
    void beginContent();
    void collapsedText(const char* text, std::size_t length);
    void preservedText(const char* text, std::size_t length);
    void startList(Frame& frame, bool numbered, const Attributes& attributes);
    void startItem(Frame& frame, const Attributes& attributes);
    void startCell(Frame& frame);
    void closeFrame(const Frame& frame);

    std::vector<Frame> frames_;
    std::vector<ListLevel> lists_;
    std::vector<unsigned> rowCells_{0}; // cells so far in the current row, per open table
    std::string out_;
    std::string prefix_;
    int hidden_ = 0;
    int preserving_ = 0;
    int pendingBreaks_ = 0;
    bool pendingSpace_ = false;
    bool absorbing_ = false; // a cell or item has begun but shown nothing yet
    bool prefixHasMarker_ = false;
    bool dropLeadingNewline_ = false;
    bool afterCarriageReturn_ = false;
};

TextBuilder::Attributes TextBuilder::readAttributes(const xmlChar** attributes) {
    Attributes result;
    if (attributes == nullptr) {
        return result;
    }
    for (const xmlChar** a = attributes; a[0] != nullptr; a += 2) {
        const std::string_view name = view(a[0]);
        const std::string_view value = view(a[1]);
        if (name == "hidden") {
            // hidden="until-found" content is meant to be found and read
            result.hidden = result.hidden || value != "until-found";
        } else if (name == "style") {
            result.hidden = result.hidden || styleHides(value);
        } else if (name == "alt") {
            result.alt = value;
            result.hasAlt = true;
        } else if (name == "start") {
            result.start = value;
        } else if (name == "type") {
            result.type = value;
        } else if (name == "value") {
            result.value = value;
        } else if (name == "open") {
            result.open = true;
        }
    }
    return result;
}

void TextBuilder::requestBreaks(int count) {
    if (absorbing_) {
        return;
    }
    pendingBreaks_ = std::max(pendingBreaks_, count);
    prefix_.clear();
    prefixHasMarker_ = false;
}

// A <br> ends the line, and a second one in a row leaves an empty line.
void TextBuilder::lineBreak() {
    if (absorbing_) {
        return;
    }
    ++pendingBreaks_;
    prefix_.clear();
    prefixHasMarker_ = false;
}

void TextBuilder::beginContent() {
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

void TextBuilder::collapsedText(const char* text, std::size_t length) {
    const char* p = text;
    const char* end = text + length;
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
        p = word;
        while (p < end && !isCollapsible(*p)) {
            ++p;
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

// Text of pre and textarea: kept as written, with CR and CRLF read as LF and
// the one line end that directly follows the start tag dropped, as browsers do.
void TextBuilder::preservedText(const char* text, std::size_t length) {
    const char* p = text;
    const char* end = text + length;
    if (afterCarriageReturn_ && p < end && *p == '\n') {
        ++p;
    }
    afterCarriageReturn_ = false;
    if (dropLeadingNewline_ && p < end) {
        dropLeadingNewline_ = false;
        if (*p == '\n') {
            ++p;
        } else if (*p == '\r') {
            ++p;
            if (p < end && *p == '\n') {
                ++p;
            } else {
                afterCarriageReturn_ = p == end;
            }
        }
    }
    if (p == end) {
        return;
    }
    beginContent();
    while (p < end) {
        const char* cr =
            static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
        if (cr == nullptr) {
            out_.append(p, static_cast<std::size_t>(end - p));
            break;
        }
        out_.append(p, static_cast<std::size_t>(cr - p));
        out_ += '\n';
        p = cr + 1;
        if (p == end) {
            afterCarriageReturn_ = true;
        } else if (*p == '\n') {
            ++p;
        }
    }
}

// List items are marked "•\t" (then "◦\t", "▪\t" deeper) or "N.\t", with one
// tab of indent per enclosing list, up to a limit that keeps hostile nesting
// from multiplying the size of the text.
constexpr std::size_t kMaxListIndent = 8;

void TextBuilder::startItem(Frame& frame, const Attributes& attributes) {
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

void TextBuilder::startList(Frame& frame, bool numbered, const Attributes& attributes) {
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

void TextBuilder::startCell(Frame& frame) {
    frame.undo |= kUndoCell;
    frame.absorbedBefore = absorbing_;
    frame.outputMark = out_.size();
    if (rowCells_.back()++ > 0) {
        prefix_ += '\t';
    }
    frame.prefixMark = prefix_.size();
    absorbing_ = true;
}

void TextBuilder::startElement(const xmlChar* name, const xmlChar** attributes) {
    Frame frame{name, 0, 0};
    if (hidden_ > 0) {
        frames_.push_back(frame);
        return;
    }
    dropLeadingNewline_ = false; // only a line end right after <pre> is dropped
    const Attributes attrs = readAttributes(attributes);
    Kind kind = kindOf(view(name));
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
        dropLeadingNewline_ = true;
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
            characters(attrs.alt.data(), attrs.alt.size());
        }
        break;
    }
    frames_.push_back(frame);
}

void TextBuilder::closeFrame(const Frame& frame) {
    if ((frame.undo & kUndoHidden) != 0) {
        --hidden_;
    }
    if ((frame.undo & kUndoPre) != 0) {
        --preserving_;
        dropLeadingNewline_ = false;
        afterCarriageReturn_ = false;
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

void TextBuilder::endElement(const xmlChar* name) {
    // The parser's events nest, except that it may drop an element it could
    // not finish without reporting its end; such frames close here too.
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it) {
        if (it->name == name || view(it->name) == view(name)) {
            const auto keep = static_cast<std::size_t>(frames_.rend() - it) - 1;
            while (frames_.size() > keep) {
                const Frame frame = frames_.back();
                frames_.pop_back();
                closeFrame(frame);
            }
            return;
        }
    }
}

void TextBuilder::closeAll() {
    while (!frames_.empty()) {
        const Frame frame = frames_.back();
        frames_.pop_back();
        closeFrame(frame);
    }
    absorbing_ = false;
    rowCells_.assign(1, 0);
    requestBreaks(1);
}

void TextBuilder::characters(const char* text, std::size_t length) {
    if (hidden_ > 0) {
        return;
    }
    if (preserving_ > 0) {
        preservedText(text, length);
    } else {
        collapsedText(text, length);
    }
}

// The text ends with exactly one line end, or is empty.
std::string TextBuilder::finish() {
    while (!out_.empty() && (out_.back() == '\n' || out_.back() == ' ' || out_.back() == '\t')) {
        out_.pop_back();
    }
    if (!out_.empty()) {
        out_ += '\n';
    }
    return std::move(out_);
}

// --- libxml2 glue ----------------------------------------------------------

struct Session {
    TextBuilder builder;
    bool failed = false;
    std::size_t restartAt = std::string::npos; // where a too-deep parse stopped
};

Session& sessionOf(void* context) {
    return *static_cast<Session*>(static_cast<htmlParserCtxtPtr>(context)->_private);
}

// No exception may cross the C parser: one that would ends the parse.
template <typename Action> void guarded(void* context, Action&& action) {
    Session& session = sessionOf(context);
    if (session.failed) {
        return;
    }
    try {
        action(session.builder);
    } catch (...) {
        session.failed = true;
        xmlStopParser(static_cast<htmlParserCtxtPtr>(context));
    }
}

void onStartElement(void* context, const xmlChar* name, const xmlChar** attributes) {
    guarded(context, [&](TextBuilder& b) { b.startElement(name, attributes); });
    auto* parser = static_cast<htmlParserCtxtPtr>(context);
    Session& session = sessionOf(context);
    if (!session.failed && session.restartAt == std::string::npos &&
        mustRestart(view(name), parser->nameNr, session.builder.openElements())) {
        // The parser is just past this start tag's attributes.
        const xmlParserInputPtr input = parser->input;
        session.restartAt = input->consumed + static_cast<std::size_t>(input->cur - input->base);
        xmlStopParser(parser);
    }
}

void onEndElement(void* context, const xmlChar* name) {
    guarded(context, [&](TextBuilder& b) { b.endElement(name); });
}

void onCharacters(void* context, const xmlChar* text, int length) {
    if (length <= 0) {
        return;
    }
    guarded(context, [&](TextBuilder& b) {
        b.characters(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
    });
}

// Script and style content; never shown.
void onRawText(void*, const xmlChar*, int) {}

// Parse errors are expected in real-world HTML and are not reported; this
// handler belongs to the one parser context, so no process-wide error
// handler is touched.
#if LIBXML_VERSION >= 21200
void onError(void*, const xmlError*) {}
#else
void onError(void*, xmlErrorPtr) {}
#endif

struct ContextDeleter {
    void operator()(htmlParserCtxtPtr context) const { htmlFreeParserCtxt(context); }
};

} // namespace

std::optional<std::string> htmlToText(std::string_view html) {
    try {
        std::string utf8 = decodeHtmlBytes(html);
        capAttributes(utf8);
        if (utf8.size() > static_cast<std::size_t>(INT_MAX)) {
            return std::nullopt; // more than the parser can address
        }

        xmlInitParser();
        const std::unique_ptr<htmlParserCtxt, ContextDeleter> context(htmlNewParserCtxt());
        if (context == nullptr) {
            return std::nullopt;
        }
        xmlSAXHandler sax{};
        sax.initialized = XML_SAX2_MAGIC; // routes this context's errors to serror
        sax.startElement = onStartElement;
        sax.endElement = onEndElement;
        sax.characters = onCharacters;
        sax.ignorableWhitespace = onCharacters;
        sax.cdataBlock = onRawText;
        sax.serror = onError;
        *context->sax = sax;

        Session session;
        context->_private = &session;
        std::size_t offset = restartOffset(utf8, 0);
        for (;;) {
            // The bytes are UTF-8 by now; naming the encoding also makes the
            // parser ignore the document's <meta charset>, already applied.
            htmlCtxtReadMemory(context.get(), utf8.data() + offset,
                               static_cast<int>(utf8.size() - offset), nullptr, "UTF-8",
                               HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING |
                                   HTML_PARSE_NONET);
            if (session.failed || context->errNo == XML_ERR_NO_MEMORY) {
                return std::nullopt;
            }
            if (session.restartAt == std::string::npos) {
                break;
            }
            offset = restartOffset(utf8, offset + session.restartAt);
            session.restartAt = std::string::npos;
            session.builder.closeAll();
        }
        return session.builder.finish();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace vantrel::extractor
