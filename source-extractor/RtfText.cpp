#include "RtfText.h"

#include "RtfCodePages.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace vantrel::extractor {

namespace {

using rtf::appendUtf8;
using rtf::kSymbolCodePage;

// Groups save their state only when they change it. Past this many saved
// states, changes go to the innermost saved one: real documents nest a few
// dozen levels, and the cap bounds memory for hostile ones.
constexpr size_t kMaxSavedStates = 10000;
// Beyond this many fonts further definitions are ignored (memory bound).
constexpr size_t kMaxFonts = 4096;
constexpr char32_t kReplacement = 0xFFFD;

// What a group's text is for.
enum class Dest : uint8_t {
    Text,           // visible text
    FontTable,      // font definitions: numbers, charsets, names
    Skip,           // not text (pictures, tables of metadata, field codes, ...)
    SkipToResult,   // an embedded object: only its \result is text
    SkipToUnicode,  // \upr: only its \ud part is read
    SkipToShapeText // shape properties: only \shptxt is text
};

bool isSkipping(Dest d) {
    return d >= Dest::Skip;
}

struct State {
    Dest dest = Dest::Text;
    bool hiddenV = false;  // \v: hidden text
    bool deleted = false;  // tracked deletion
    bool toNotes = false;  // inside a footnote or endnote
    bool noteRoot = false; // the group that opened a footnote
    int uc = 1;            // fallback characters after each \uN
    int font = -1;         // -1: the document's default font
    int codePage = rtf::kDefaultCodePage;
    bool hidden() const { return hiddenV || deleted; }
};

struct Font {
    int charset = -1;
    int codePage = 0; // \cpgN, 0 when absent
    std::string name;
    bool nameDone = false;
};

enum class Kind : uint8_t {
    Dest,
    FontTable,
    Footnote,
    TextDest, // a known destination whose text is visible
    Char,
    Par,
    Tab,
    Cell,
    Row,
    U,
    Uc,
    F,
    Fcharset,
    Cpg,
    Deff,
    Ansicpg,
    CharsetDefault,
    Plain,
    Hidden,
    Deleted,
    Bin,
    Chftn,
};

struct WordInfo {
    Kind kind;
    uint32_t arg = 0;
};

// The control words the reader acts on. Open addressing over a fixed array:
// the lookup runs once per control word, the hottest path for text-heavy
// documents.
class WordTable {
  public:
    void emplace(std::string_view word, WordInfo info) {
        size_t i = hash(word);
        while (!slots_[i].word.empty()) {
            i = (i + 1) % slots_.size();
        }
        slots_[i] = {word, info};
    }

    const WordInfo* find(std::string_view word) const {
        for (size_t i = hash(word);; i = (i + 1) % slots_.size()) {
            const Slot& s = slots_[i];
            if (s.word.empty()) {
                return nullptr;
            }
            if (s.word == word) {
                return &s.info;
            }
        }
    }

  private:
    struct Slot {
        std::string_view word;
        WordInfo info{Kind::TextDest};
    };
    size_t hash(std::string_view word) const {
        uint32_t h = 2166136261u; // FNV-1a
        for (char c : word) {
            h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        }
        return h % slots_.size();
    }
    // Several times the number of words, so probes stay short.
    std::array<Slot, 512> slots_{};
};

const WordTable& wordTable() {
    static const WordTable table = [] {
        WordTable t;
        auto skip = static_cast<uint32_t>(Dest::Skip);
        // Destinations that hold no body text. Headers, footers and comments
        // are page furniture; list and field codes are formatting.
        for (std::string_view w : {"colortbl",
                                   "stylesheet",
                                   "info",
                                   "pict",
                                   "header",
                                   "headerl",
                                   "headerr",
                                   "headerf",
                                   "footer",
                                   "footerl",
                                   "footerr",
                                   "footerf",
                                   "annotation",
                                   "fldinst",
                                   "datafield",
                                   "xe",
                                   "tc",
                                   "tcn",
                                   "txe",
                                   "rxe",
                                   "pn",
                                   "pntxta",
                                   "pntxtb",
                                   "listtable",
                                   "listoverridetable",
                                   "revtbl",
                                   "rsidtbl",
                                   "filetbl",
                                   "generator",
                                   "xmlnstbl",
                                   "themedata",
                                   "colorschememapping",
                                   "datastore",
                                   "latentstyles",
                                   "pgdsctbl",
                                   "template",
                                   "docvar",
                                   "userprops",
                                   "ftnsep",
                                   "ftnsepc",
                                   "ftncn",
                                   "aftnsep",
                                   "aftnsepc",
                                   "aftncn",
                                   "shprslt",
                                   "nonshppict",
                                   "shppict",
                                   "nonesttables",
                                   "objdata",
                                   "bkmkstart",
                                   "bkmkend",
                                   "do",
                                   "keycode",
                                   "mmathPr",
                                   "protusertbl",
                                   "formfield"}) {
            t.emplace(w, WordInfo{Kind::Dest, skip});
        }
        t.emplace("object", WordInfo{Kind::Dest, static_cast<uint32_t>(Dest::SkipToResult)});
        t.emplace("upr", WordInfo{Kind::Dest, static_cast<uint32_t>(Dest::SkipToUnicode)});
        t.emplace("shpinst", WordInfo{Kind::Dest, static_cast<uint32_t>(Dest::SkipToShapeText)});
        t.emplace("shpgrp", WordInfo{Kind::Dest, static_cast<uint32_t>(Dest::SkipToShapeText)});
        t.emplace("fonttbl", WordInfo{Kind::FontTable});
        t.emplace("footnote", WordInfo{Kind::Footnote});
        // Known destinations that are read as text even behind \*.
        for (std::string_view w : {"fldrslt", "field", "result", "ud", "shptxt", "nesttableprops",
                                   "listtext", "pntext"}) {
            t.emplace(w, WordInfo{Kind::TextDest});
        }
        const std::pair<std::string_view, char32_t> chars[] = {
            {"emdash", 0x2014},  {"endash", 0x2013},    {"bullet", 0x2022},    {"lquote", 0x2018},
            {"rquote", 0x2019},  {"ldblquote", 0x201C}, {"rdblquote", 0x201D}, {"emspace", 0x2003},
            {"enspace", 0x2002}, {"qmspace", 0x2005},   {"zwj", 0x200D},       {"zwnj", 0x200C},
            {"ltrmark", 0x200E}, {"rtlmark", 0x200F}};
        for (const auto& [w, cp] : chars) {
            t.emplace(w, WordInfo{Kind::Char, cp});
        }
        for (std::string_view w : {"par", "line", "sect", "page", "column"}) {
            t.emplace(w, WordInfo{Kind::Par});
        }
        t.emplace("tab", WordInfo{Kind::Tab});
        t.emplace("cell", WordInfo{Kind::Cell});
        t.emplace("nestcell", WordInfo{Kind::Cell});
        t.emplace("row", WordInfo{Kind::Row});
        t.emplace("nestrow", WordInfo{Kind::Row});
        t.emplace("u", WordInfo{Kind::U});
        t.emplace("uc", WordInfo{Kind::Uc});
        t.emplace("f", WordInfo{Kind::F});
        t.emplace("fcharset", WordInfo{Kind::Fcharset});
        t.emplace("cpg", WordInfo{Kind::Cpg});
        t.emplace("deff", WordInfo{Kind::Deff});
        t.emplace("ansicpg", WordInfo{Kind::Ansicpg});
        t.emplace("ansi", WordInfo{Kind::CharsetDefault, 1252});
        t.emplace("mac", WordInfo{Kind::CharsetDefault, 10000});
        t.emplace("pc", WordInfo{Kind::CharsetDefault, 437});
        t.emplace("pca", WordInfo{Kind::CharsetDefault, 850});
        t.emplace("plain", WordInfo{Kind::Plain});
        t.emplace("v", WordInfo{Kind::Hidden});
        t.emplace("deleted", WordInfo{Kind::Deleted});
        t.emplace("bin", WordInfo{Kind::Bin});
        t.emplace("chftn", WordInfo{Kind::Chftn});
        return t;
    }();
    return table;
}

// Byte classes for the scanning loops.
enum : uint8_t { kPlain, kSpecial, kTab, kIgnore, kHigh };

constexpr std::array<uint8_t, 256> makeClasses() {
    std::array<uint8_t, 256> c{};
    for (int i = 0; i < 256; ++i) {
        c[i] = i >= 0x80 ? kHigh : (i < 0x20 || i == 0x7F) ? kIgnore : kPlain;
    }
    c['\t'] = kTab;
    c['\\'] = kSpecial;
    c['{'] = kSpecial;
    c['}'] = kSpecial;
    return c;
}
constexpr std::array<uint8_t, 256> kClass = makeClasses();

// The first '{', '}' or '\\' at or after p. Picture data runs for many
// kilobytes without one, so eight bytes are tested at a time.
const unsigned char* findSpecial(const unsigned char* p, const unsigned char* end) {
    constexpr uint64_t kOnes = 0x0101010101010101u;
    constexpr uint64_t kHighs = 0x8080808080808080u;
    auto has = [](uint64_t word, unsigned char c) {
        uint64_t x = word ^ (kOnes * c);
        return (x - kOnes) & ~x & kHighs; // non-zero when some byte of x is zero
    };
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if ((has(word, '{') | has(word, '}') | has(word, '\\')) != 0) {
            break;
        }
        p += 8;
    }
    while (p < end && kClass[*p] != kSpecial) {
        ++p;
    }
    return p;
}

bool isLetter(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
int hexValue(unsigned char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

class Reader {
  public:
    explicit Reader(std::string_view rtf)
        : p_(reinterpret_cast<const unsigned char*>(rtf.data())), end_(p_ + rtf.size()) {
        out_.reserve(std::min<size_t>(rtf.size(), size_t{1} << 20));
        stack_.reserve(64);
        stack_.push_back({0, State{}});
        // A byte-order mark and white space before the document are file
        // layout, not text.
        if (rtf.starts_with("\xEF\xBB\xBF")) {
            p_ += 3;
        }
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) {
            ++p_;
        }
    }

    std::string run() {
        while (p_ < end_) {
            if (isSkipping(top().dest)) {
                // Picture data and other skipped groups: only braces and
                // backslashes matter, so run over everything else.
                p_ = findSpecial(p_, end_);
                if (p_ == end_) {
                    break;
                }
            }
            switch (*p_) {
            case '{':
                ++p_;
                openGroup();
                break;
            case '}':
                ++p_;
                closeGroup();
                break;
            case '\\':
                ++p_;
                controlSequence();
                break;
            default:
                text();
                break;
            }
        }
        flushPending();
        return finish();
    }

  private:
    const State& top() const { return stack_.back().state; }
    std::string& target() { return top().toNotes ? notes_ : out_; }

    // The current group's state, saved first if the group has not changed
    // it yet. References from top() do not survive this call.
    State& modify() {
        if (stack_.back().depth != depth_ && stack_.size() < kMaxSavedStates) {
            State copy = stack_.back().state;
            copy.noteRoot = false;
            stack_.push_back({depth_, copy});
        }
        return stack_.back().state;
    }

    void openGroup() {
        ucRemaining_ = 0;
        ignorableNext_ = false;
        ++depth_;
    }

    void closeGroup() {
        ucRemaining_ = 0;
        ignorableNext_ = false;
        if (depth_ == 0) {
            return; // an unbalanced brace: nothing to close
        }
        --depth_;
        if (stack_.back().depth <= depth_) {
            return; // the group changed nothing
        }
        State closed = stack_.back().state;
        stack_.pop_back();
        if (closed.noteRoot) {
            // Each note ends its own line in the notes that follow the body.
            flushPending();
            if (!notes_.empty() && notes_.back() != '\n') {
                notes_.push_back('\n');
            }
        }
        if (closed.dest == Dest::FontTable && top().dest != Dest::FontTable) {
            // The default font's charset is known only now.
            State& st = stack_.back().state;
            st.codePage = codePageOf(st.font);
        }
    }

    // Text bytes in a text or font-table group.
    void text() {
        ignorableNext_ = false;
        unsigned char c = *p_;
        uint8_t cls = kClass[c];
        if (cls == kIgnore) {
            ++p_; // raw line ends are layout of the RTF file, not text
            return;
        }
        const State& st = top();
        if (st.dest == Dest::FontTable) {
            fontNameByte(c);
            ++p_;
            return;
        }
        if (ucRemaining_ > 0) {
            --ucRemaining_;
            ++p_;
            return;
        }
        if (st.hidden()) {
            ++p_;
            while (p_ < end_ && kClass[*p_] == kPlain) {
                ++p_;
            }
            return;
        }
        if (cls == kTab) {
            ++p_;
            emitAscii('\t');
            return;
        }
        if (cls == kHigh || st.codePage == kSymbolCodePage || pendingLead_) {
            ++p_;
            emitByte(c);
            return;
        }
        const unsigned char* start = p_;
        while (p_ < end_ && kClass[*p_] == kPlain) {
            ++p_;
        }
        flushPending();
        target().append(reinterpret_cast<const char*>(start), static_cast<size_t>(p_ - start));
    }

    void fontNameByte(unsigned char c) {
        if (currentFont_ == nullptr || currentFont_->nameDone) {
            return;
        }
        if (c == ';') {
            currentFont_->nameDone = true;
        } else if (currentFont_->name.size() < 15) {
            currentFont_->name.push_back(static_cast<char>(c));
        }
    }

    void controlSequence() {
        if (p_ == end_) {
            return;
        }
        unsigned char c = *p_;
        if (isLetter(c)) {
            controlWord();
            return;
        }
        ++p_;
        const State& st = top();
        if (c == '\'') {
            int value = hexByte();
            ignorableNext_ = false;
            if (isSkipping(st.dest) || value < 0) {
                return;
            }
            if (ucRemaining_ > 0) {
                --ucRemaining_;
            } else if (st.dest == Dest::Text && !st.hidden()) {
                emitByte(static_cast<unsigned char>(value));
            }
            return;
        }
        if (c == '*') {
            ignorableNext_ = true;
            return;
        }
        ignorableNext_ = false;
        if (isSkipping(st.dest)) {
            return;
        }
        if (ucRemaining_ > 0) {
            --ucRemaining_;
            return;
        }
        if (st.dest != Dest::Text || st.hidden()) {
            return;
        }
        switch (c) {
        case '\\':
        case '{':
        case '}':
            if (st.codePage == kSymbolCodePage) {
                emitByte(c);
            } else {
                emitAscii(static_cast<char>(c));
            }
            break;
        case '~':
            emitCodePoint(0x00A0);
            break;
        case '_':
            emitCodePoint(0x2011);
            break;
        case '\r':
        case '\n':
            emitAscii('\n'); // a backslash before a raw line end is \par
            break;
        case '\t':
            emitAscii('\t');
            break;
        default:
            break; // \- optional hyphen, \: index subentry, \| formula: nothing
        }
    }

    // Two hex digits after \'; -1 when they are not there.
    int hexByte() {
        if (p_ == end_) {
            return -1;
        }
        int hi = hexValue(*p_);
        if (hi < 0) {
            return -1;
        }
        ++p_;
        if (p_ == end_) {
            return -1;
        }
        int lo = hexValue(*p_);
        if (lo < 0) {
            return -1;
        }
        ++p_;
        return hi * 16 + lo;
    }

    void controlWord() {
        const unsigned char* start = p_;
        while (p_ < end_ && isLetter(*p_)) {
            ++p_;
        }
        std::string_view word(reinterpret_cast<const char*>(start),
                              static_cast<size_t>(p_ - start));
        bool hasParam = false;
        int64_t param = 0;
        bool negative = false;
        if (p_ < end_ && *p_ == '-' && p_ + 1 < end_ && isDigit(p_[1])) {
            negative = true;
            ++p_;
        }
        while (p_ < end_ && isDigit(*p_)) {
            hasParam = true;
            if (param < 100000000000) { // more digits than any real value
                param = param * 10 + (*p_ - '0');
            }
            ++p_;
        }
        if (p_ < end_ && *p_ == ' ') {
            ++p_; // the delimiting space belongs to the word
        }
        param = std::clamp<int64_t>(negative ? -param : param, INT32_MIN, INT32_MAX);
        auto n = static_cast<int32_t>(param);

        bool ignorable = ignorableNext_;
        ignorableNext_ = false;
        if (pendingLead_) {
            flushBytes(); // a control word cuts a half-written two-byte character
        }
        const State& st = top();
        if (isSkipping(st.dest)) {
            if (word == "bin") {
                skipBinary(hasParam, n);
            } else if ((st.dest == Dest::SkipToResult && word == "result") ||
                       (st.dest == Dest::SkipToUnicode && word == "ud") ||
                       (st.dest == Dest::SkipToShapeText && word == "shptxt")) {
                modify().dest = Dest::Text;
            }
            return;
        }
        if (ucRemaining_ > 0) {
            // A control word in the fallback counts as one character.
            --ucRemaining_;
            if (word == "bin") {
                skipBinary(hasParam, n);
            }
            return;
        }
        const WordInfo* info = word.size() <= 32 ? wordTable().find(word) : nullptr;
        if (info == nullptr) {
            if (ignorable) {
                modify().dest = Dest::Skip; // an unknown optional destination
            }
            return;
        }
        applyWord(*info, hasParam, n);
    }

    void applyWord(WordInfo info, bool hasParam, int32_t n) {
        const Dest dest = top().dest;
        const bool visible = dest == Dest::Text && !top().hidden();
        switch (info.kind) {
        case Kind::Dest:
            modify().dest = static_cast<Dest>(info.arg);
            break;
        case Kind::FontTable:
            modify().dest = Dest::FontTable;
            break;
        case Kind::Footnote:
            if (dest == Dest::Text) {
                State& st = modify();
                st.toNotes = true;
                st.noteRoot = true;
            }
            break;
        case Kind::TextDest:
            break;
        case Kind::Char:
            if (visible) {
                emitCodePoint(info.arg);
            }
            break;
        case Kind::Par:
            if (visible) {
                emitAscii('\n');
                lineEndTarget_ = &target();
                lineEndEnd_ = target().size();
            }
            break;
        case Kind::Tab:
            if (visible) {
                emitAscii('\t');
            }
            break;
        case Kind::Cell:
            // Table structure survives hidden cell marks, or rows would merge.
            if (dest == Dest::Text) {
                endCell();
            }
            break;
        case Kind::Row:
            if (dest == Dest::Text) {
                endRow();
            }
            break;
        case Kind::U:
            if (hasParam) {
                if (visible) {
                    unicode(n);
                }
                ucRemaining_ = top().uc;
            }
            break;
        case Kind::Uc:
            if (hasParam) {
                modify().uc = std::max(0, n);
            }
            break;
        case Kind::F:
            if (dest == Dest::FontTable) {
                defineFont(n);
            } else if (hasParam) {
                State& st = modify();
                st.font = n;
                st.codePage = codePageOf(n);
            }
            break;
        case Kind::Fcharset:
            if (dest == Dest::FontTable && currentFont_ != nullptr) {
                currentFont_->charset = n;
            }
            break;
        case Kind::Cpg:
            if (dest == Dest::FontTable && currentFont_ != nullptr) {
                currentFont_->codePage = n;
            }
            break;
        case Kind::Deff:
            defaultFont_ = n;
            refreshCodePage();
            break;
        case Kind::Ansicpg:
            if (n > 0) {
                ansiCodePageSet_ = true;
                defaultCodePage_ = n;
                refreshCodePage();
            }
            break;
        case Kind::CharsetDefault:
            if (!ansiCodePageSet_) {
                defaultCodePage_ = static_cast<int>(info.arg);
                refreshCodePage();
            }
            break;
        case Kind::Plain: {
            State& st = modify();
            st.font = -1;
            st.codePage = codePageOf(-1);
            st.hiddenV = false;
            st.deleted = false;
            break;
        }
        case Kind::Hidden:
            modify().hiddenV = !hasParam || n != 0;
            break;
        case Kind::Deleted:
            modify().deleted = !hasParam || n != 0;
            break;
        case Kind::Bin:
            skipBinary(hasParam, n);
            break;
        case Kind::Chftn:
            if (visible) {
                // The mark in the body numbers the next note; the mark inside
                // the note repeats that number.
                if (!top().toNotes) {
                    ++footnoteCount_;
                }
                emitAscii(std::to_string(std::max(footnoteCount_, 1)));
            }
            break;
        }
    }

    void refreshCodePage() {
        int codePage = codePageOf(top().font);
        if (codePage != top().codePage) {
            modify().codePage = codePage;
        }
    }

    void skipBinary(bool hasParam, int32_t n) {
        if (!hasParam || n <= 0) {
            return;
        }
        p_ += std::min<size_t>(static_cast<size_t>(n), static_cast<size_t>(end_ - p_));
    }

    void defineFont(int32_t number) {
        currentFont_ = nullptr;
        auto it = fonts_.find(number);
        if (it == fonts_.end()) {
            if (fonts_.size() >= kMaxFonts) {
                return;
            }
            it = fonts_.emplace(number, Font{}).first;
        } else {
            it->second = Font{}; // a redefinition replaces the earlier one
        }
        currentFont_ = &it->second;
    }

    int codePageOf(int font) const {
        auto it = fonts_.find(font < 0 ? defaultFont_ : font);
        if (it == fonts_.end()) {
            return defaultCodePage_;
        }
        const Font& f = it->second;
        if (f.codePage > 0) {
            return f.codePage;
        }
        if (f.charset == 2) {
            // Only the Symbol font has a known layout; other symbol fonts
            // (Wingdings and the like) fall back to the document's code page.
            std::string_view name(f.name);
            name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
            return name.starts_with("Symbol") ? kSymbolCodePage : defaultCodePage_;
        }
        int cp = rtf::codePageForCharset(f.charset);
        return cp != 0 ? cp : defaultCodePage_;
    }

    void unicode(int32_t n) {
        int64_t value = n < 0 ? int64_t{n} + 65536 : n;
        if (value < 0 || value > 0x10FFFF) {
            emitCodePoint(kReplacement);
            return;
        }
        auto cp = static_cast<char32_t>(value);
        if (top().codePage == kSymbolCodePage && cp >= 0xF020 && cp <= 0xF0FF) {
            // Symbol-font characters written in the private-use area.
            char32_t mapped = rtf::symbolToUnicode(static_cast<unsigned char>(cp - 0xF000));
            cp = mapped != 0 ? mapped : kReplacement;
        }
        emitCodePoint(cp);
    }

    void endCell() {
        flushPending();
        std::string& t = target();
        // A cell's last paragraph mark ends the cell, not a line of the row.
        if (lineEndTarget_ == &t && lineEndEnd_ == t.size() && !t.empty() && t.back() == '\n') {
            t.back() = '\t';
        } else {
            t.push_back('\t');
        }
        cellTabTarget_ = &t;
        cellTabEnd_ = t.size();
    }

    void endRow() {
        flushPending();
        std::string& t = target();
        // The last cell's tab would end the line: a row ends with its line end.
        if (cellTabTarget_ == &t && cellTabEnd_ == t.size() && !t.empty() && t.back() == '\t') {
            t.back() = '\n';
        } else {
            t.push_back('\n');
        }
        cellTabTarget_ = nullptr;
    }

    // --- Output. Code-page bytes and a high surrogate wait in pending
    // state until the next character shows how to complete them.

    void emitAscii(char c) {
        flushPending();
        target().push_back(c);
    }

    void emitAscii(const std::string& s) {
        flushPending();
        target().append(s);
    }

    void emitCodePoint(char32_t cp) {
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            flushPending();
            highSurrogate_ = cp;
            highSurrogateTarget_ = &target();
            return;
        }
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            flushBytes();
            if (highSurrogate_ != 0 && highSurrogateTarget_ == &target()) {
                cp = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (cp - 0xDC00);
                highSurrogate_ = 0;
            } else {
                cp = kReplacement;
            }
        }
        flushPending();
        if (cp == 0 || cp == 0x7F || (cp < 0x20 && cp != '\t' && cp != '\n')) {
            if (cp == '\r') {
                target().push_back('\n');
            }
            return;
        }
        appendUtf8(cp, target());
    }

    void emitByte(unsigned char b) {
        const State& st = top();
        std::string* t = &target();
        if (highSurrogate_ != 0) {
            flushSurrogate();
        }
        if (!pendingBytes_.empty() && (pendingCodePage_ != st.codePage || pendingTarget_ != t)) {
            flushBytes();
        }
        if (b < 0x20 && !pendingLead_) {
            // Control bytes are layout, as raw ones are; a tab stays a tab.
            if (b == '\t') {
                emitAscii('\t');
            }
            return;
        }
        pendingBytes_.push_back(static_cast<char>(b));
        pendingCodePage_ = st.codePage;
        pendingTarget_ = t;
        if (pendingLead_) {
            pendingLead_ = false;
        } else {
            pendingLead_ = rtf::isLeadByte(st.codePage, b);
        }
    }

    void flushBytes() {
        if (pendingBytes_.empty()) {
            return;
        }
        decoder_.decode(pendingCodePage_, pendingBytes_, *pendingTarget_);
        pendingBytes_.clear();
        pendingLead_ = false;
    }

    void flushSurrogate() {
        // A high surrogate with no low one after it.
        appendUtf8(kReplacement, *highSurrogateTarget_);
        highSurrogate_ = 0;
    }

    void flushPending() {
        flushBytes();
        if (highSurrogate_ != 0) {
            flushSurrogate();
        }
    }

    std::string finish() {
        if (notes_.empty()) {
            return std::move(out_);
        }
        // Notes follow the body after an empty line, as a plain-text save
        // of a word processor places them.
        if (!out_.empty()) {
            if (out_.back() != '\n') {
                out_.push_back('\n');
            }
            out_.push_back('\n');
        }
        out_.append(notes_);
        return std::move(out_);
    }

    const unsigned char* p_;
    const unsigned char* end_;
    struct Saved {
        size_t depth; // the group nesting level this state belongs to
        State state;
    };
    std::vector<Saved> stack_;
    size_t depth_ = 0;
    int ucRemaining_ = 0;
    bool ignorableNext_ = false;

    std::unordered_map<int, Font> fonts_;
    Font* currentFont_ = nullptr;
    int defaultFont_ = -1;
    int defaultCodePage_ = rtf::kDefaultCodePage;
    bool ansiCodePageSet_ = false;
    int footnoteCount_ = 0;

    std::string out_;
    std::string notes_;
    // Where the last cell tab and the last line end were written, so that a
    // row or cell end can take their place.
    std::string* cellTabTarget_ = nullptr;
    size_t cellTabEnd_ = 0;
    std::string* lineEndTarget_ = nullptr;
    size_t lineEndEnd_ = 0;

    rtf::CodePageDecoder decoder_;
    std::string pendingBytes_;
    int pendingCodePage_ = 0;
    std::string* pendingTarget_ = nullptr;
    bool pendingLead_ = false;
    char32_t highSurrogate_ = 0;
    std::string* highSurrogateTarget_ = nullptr;
};

} // namespace

std::string rtfToText(std::string_view rtf) {
    return Reader(rtf).run();
}

} // namespace vantrel::extractor
