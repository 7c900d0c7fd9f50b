#include "rtf/RtfText.h"

#include "rtf/RtfCodePages.h"
#include "rtf/RtfControlWords.h"
#include "rtf/RtfOutput.h"
#include "rtf/RtfScanners.h"
#include "text/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace vantrel::extractor {
namespace rtf {
namespace {

// Groups save their state only when they change it. Past this many saved
// states, changes go to the innermost saved one: real documents nest a few
// dozen levels, and the cap bounds memory for hostile ones.
constexpr size_t kMaxSavedStates = 10000;
// Beyond this many fonts further definitions are ignored (memory bound).
constexpr size_t kMaxFonts = 4096;
// Enough of a font's name for the words that name its character set.
constexpr size_t kMaxFontName = 63;

struct State {
    Dest dest = Dest::Text;
    bool hiddenV = false;  // \v: hidden text
    bool deleted = false;  // tracked deletion
    bool toNotes = false;  // inside a footnote or endnote
    bool noteRoot = false; // the group that opened a footnote
    int uc = 1;            // fallback characters after each \uN
    int font = -1;         // -1: the document's default font
    int codePage = kDefaultCodePage;
    bool shapeText = false;    // inside a shape's text
    bool nestedResult = false; // the result of a field inside a field instruction
    bool fieldRoot = false;    // the group that opened a field
    bool resultRoot = false;   // the group that opened a field's result
    size_t nestedMark = 0;     // nested results held when this field began
    size_t resultStart = 0;    // where this field's result began in its output
    bool hidden() const { return hiddenV || deleted; }
};

struct Font {
    int charset = -1;
    int codePage = 0; // \cpgN, 0 when absent
    std::string name; // bytes as written, up to kMaxFontName
    bool nameDone = false;
};

class Reader {
  public:
    explicit Reader(std::string_view rtf)
        : p_(reinterpret_cast<const unsigned char*>(rtf.data())), end_(p_ + rtf.size()) {
        // Text is rarely longer than its RTF, so the output is allocated
        // once; pages of it that no text reaches are never touched.
        out_.reserve(rtf.size());
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
                // Control words come in strings; a backslash needs no skip
                // first, skipping or not.
                do {
                    ++p_;
                    controlSequence();
                } while (p_ < end_ && *p_ == '\\');
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
    Output& targetOf(const State& st) {
        return st.nestedResult ? nested_ : st.toNotes ? notes_ : out_;
    }
    Output& target() { return targetOf(top()); }

    // The current group's state, saved first if the group has not changed
    // it yet. References from top() do not survive this call.
    State& modify() {
        if (stack_.back().depth != depth_ && stack_.size() < kMaxSavedStates) {
            State copy = stack_.back().state;
            copy.noteRoot = false;
            copy.fieldRoot = false;
            copy.resultRoot = false;
            stack_.push_back({depth_, copy});
        }
        return stack_.back().state;
    }

    void openGroup() {
        ucRemaining_ = 0;
        ignorableNext_ = false;
        atGroupStart_ = true;
        ++depth_;
    }

    void closeGroup() {
        ucRemaining_ = 0;
        ignorableNext_ = false;
        atGroupStart_ = false;
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
        if (closed.resultRoot || closed.fieldRoot || (closed.shapeText && !top().shapeText)) {
            endFieldOrShape(closed);
        }
    }

    // A shape's text stands on lines of its own. The results of fields
    // nested in a field's instruction are its text when its own result is
    // absent or blank, as in Word's GOTOBUTTON tables of contents.
    void endFieldOrShape(const State& closed) {
        flushPending();
        if (closed.shapeText && !top().shapeText) {
            lineDue_ = &target();
        }
        if (closed.nestedResult || nested_.size() <= closed.nestedMark) {
            return;
        }
        Output& t = targetOf(closed);
        if (closed.resultRoot) {
            const std::string_view result = t.tail(closed.resultStart);
            if (result.find_first_not_of(" \t\n") != std::string_view::npos) {
                nested_.truncate(closed.nestedMark); // the result shows
                return;
            }
            t.truncate(closed.resultStart);
        }
        lineStart(t, false);
        t.append(nested_.tail(closed.nestedMark));
        nested_.truncate(closed.nestedMark);
    }

    // Called before text goes to `t`: after a shape's text starts or ends,
    // the text begins a line.
    void lineStart(Output& t, bool isLineEnd) {
        if (lineDue_ == &t) {
            lineDue_ = nullptr;
            if (!isLineEnd && !t.empty() && t.back() != '\n') {
                t.push_back('\n');
            }
        }
    }

    // 2 when p holds a lead byte of the code page and the byte after it is
    // its trail byte, to be taken whatever it is (even '\\', '{' or '}').
    size_t rawCharLength(int codePage, const unsigned char* p) const {
        return !pendingLead_ && end_ - p >= 2 && isLeadByte(codePage, p[0]) &&
                       isTrailByte(codePage, p[1])
                   ? 2
                   : 1;
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
        atGroupStart_ = false;
        const State& st = top();
        if (st.dest == Dest::FontTable) {
            const size_t n =
                currentFont_ == nullptr ? 1 : rawCharLength(fontCodePage(*currentFont_), p_);
            for (size_t i = 0; i < n; ++i) {
                fontNameByte(*p_++);
            }
            return;
        }
        if (ucRemaining_ > 0) {
            // The count is of bytes, but a two-byte character is skipped whole.
            const size_t n = rawCharLength(st.codePage, p_);
            p_ += n;
            ucRemaining_ = std::max(0, ucRemaining_ - static_cast<int>(n));
            return;
        }
        if (st.hidden()) {
            p_ = findPlainEnd(p_ + rawCharLength(st.codePage, p_), end_);
            return;
        }
        if (cls == kTab) {
            ++p_;
            emitAscii('\t');
            return;
        }
        if (cls == kHigh || st.codePage == kSymbolCodePage || pendingLead_) {
            const size_t n = rawCharLength(st.codePage, p_);
            for (size_t i = 0; i < n; ++i) {
                emitByte(*p_++);
            }
            return;
        }
        flushPending();
        // Text between \uN escapes runs here without the round trip through
        // the main loop: the state that allowed this run holds for the next.
        // Locals, not members, as output stores may alias members.
        Output& out = target();
        lineStart(out, false);
        const int uc = top().uc;
        const unsigned char* p = p_;
        for (;;) {
            p = copyPlainRun(p, end_, out);
            while (p != end_ && *p == '\\') {
                char32_t cp = 0;
                if (!readPlainUnicode(p, end_, cp)) {
                    p_ = p;
                    return;
                }
                out.appendUtf8(cp);
                int remaining = uc;
                p = skipFallback(p, end_, remaining, false);
                if (remaining > 0) {
                    p_ = p;
                    ucRemaining_ = remaining;
                    return;
                }
            }
            if (p == end_ || kClass[*p] != kPlain) {
                p_ = p;
                return;
            }
        }
    }

    void fontNameByte(unsigned char c) {
        if (currentFont_ == nullptr || currentFont_->nameDone) {
            return;
        }
        if (c == ';') {
            currentFont_->nameDone = true;
        } else if (currentFont_->name.size() < kMaxFontName) {
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
        if (c == '*') {
            // Only a \* that begins a group makes it ignorable.
            ignorableNext_ = atGroupStart_;
            return;
        }
        atGroupStart_ = false;
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
                // Text in a code page is mostly runs of escapes: read them
                // here, as the main loop would, in the same state.
                while (end_ - p_ >= 4 && p_[0] == '\\' && p_[1] == '\'' &&
                       (value = hexPair(p_[2], p_[3])) >= 0) {
                    p_ += 4;
                    emitByte(static_cast<unsigned char>(value));
                }
            }
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
        int32_t n = 0;
        const bool hasParam = readParameter(p_, end_, n);

        bool ignorable = ignorableNext_;
        ignorableNext_ = false;
        atGroupStart_ = false;
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
                startText(word == "shptxt" ? kShapeText : kPlainText);
            } else if (st.dest == Dest::FieldInstruction && word == "fldrslt") {
                startText(kFieldResult); // a field nested in the instruction
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
        // \u is most of the words in text outside Western Europe.
        static constexpr WordInfo kUnicode{Kind::U};
        const WordInfo* info = word == "u" ? &kUnicode : kWordTable.find(word.data(), word.size());
        if (info == nullptr) {
            if (ignorable) {
                modify().dest = Dest::Skip; // an unknown optional destination
            }
            return;
        }
        applyWord(*info, hasParam, n);
    }

    // Acts on a known control word, by its family.
    void applyWord(WordInfo info, bool hasParam, int32_t n) {
        switch (info.kind) {
        case Kind::Dest:
        case Kind::FontTable:
        case Kind::Footnote:
        case Kind::TextDest:
            destinationWord(info);
            break;
        case Kind::Char:
        case Kind::Par:
        case Kind::Tab:
        case Kind::Cell:
        case Kind::Row:
        case Kind::Chftn:
            structureWord(info);
            break;
        case Kind::U:
        case Kind::Uc:
            unicodeWord(info, hasParam, n);
            break;
        case Kind::F:
        case Kind::Fcharset:
        case Kind::Cpg:
        case Kind::Deff:
        case Kind::Ansicpg:
        case Kind::CharsetDefault:
            fontWord(info, hasParam, n);
            break;
        case Kind::Plain:
        case Kind::Hidden:
        case Kind::Deleted:
            formattingWord(info, hasParam, n);
            break;
        case Kind::Bin:
            skipBinary(hasParam, n);
            break;
        }
    }

    // Words that open a destination: what the group's text is for.
    void destinationWord(WordInfo info) {
        if (info.kind == Kind::Dest) {
            modify().dest = static_cast<Dest>(info.arg);
        } else if (info.kind == Kind::FontTable) {
            modify().dest = Dest::FontTable;
        } else if (info.kind == Kind::Footnote && top().dest == Dest::Text) {
            State& st = modify();
            st.toNotes = true;
            st.noteRoot = true;
        } else if (info.kind == Kind::TextDest && info.arg != kPlainText &&
                   top().dest == Dest::Text) {
            startText(info.arg);
        }
    }

    // The group's text becomes visible, from a destination of this kind.
    void startText(uint32_t kind) {
        flushPending();
        const bool nested = top().dest == Dest::FieldInstruction;
        State& st = modify();
        st.dest = Dest::Text;
        if (kind == kShapeText) {
            st.shapeText = true;
            lineDue_ = &target();
        } else if (kind == kField) {
            st.fieldRoot = true;
            st.nestedMark = nested_.size();
        } else if (kind == kFieldResult && nested) {
            st.nestedResult = true;
        } else if (kind == kFieldResult) {
            st.resultRoot = true;
            st.resultStart = target().size();
        }
    }

    // Characters, line ends and table structure.
    void structureWord(WordInfo info) {
        const Dest dest = top().dest;
        const bool visible = dest == Dest::Text && !top().hidden();
        switch (info.kind) {
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
        default:
            break;
        }
    }

    void unicodeWord(WordInfo info, bool hasParam, int32_t n) {
        if (!hasParam) {
            return;
        }
        if (info.kind == Kind::Uc) {
            modify().uc = std::max(0, n);
            return;
        }
        if (top().dest == Dest::Text && !top().hidden()) {
            unicode(n);
        }
        ucRemaining_ = top().uc;
        p_ = skipFallback(p_, end_, ucRemaining_, top().dest == Dest::FontTable);
    }

    // Font definitions and selection, and the document's code page.
    void fontWord(WordInfo info, bool hasParam, int32_t n) {
        const bool inFontTable = top().dest == Dest::FontTable;
        switch (info.kind) {
        case Kind::F:
            if (inFontTable) {
                defineFont(n);
            } else if (hasParam) {
                State& st = modify();
                st.font = n;
                st.codePage = codePageOf(n);
            }
            break;
        case Kind::Fcharset:
            if (inFontTable && currentFont_ != nullptr) {
                currentFont_->charset = n;
            }
            break;
        case Kind::Cpg:
            if (inFontTable && currentFont_ != nullptr) {
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
        default:
            break;
        }
    }

    void formattingWord(WordInfo info, bool hasParam, int32_t n) {
        State& st = modify();
        if (info.kind == Kind::Plain) {
            st.font = -1;
            st.codePage = codePageOf(-1);
            st.hiddenV = false;
            st.deleted = false;
        } else if (info.kind == Kind::Hidden) {
            st.hiddenV = !hasParam || n != 0;
        } else {
            st.deleted = !hasParam || n != 0;
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
        return it == fonts_.end() ? defaultCodePage_ : fontCodePage(it->second);
    }

    // A font's \cpg, else its \fcharset, else what its name says, else the
    // document's code page.
    int fontCodePage(const Font& f) const {
        if (f.codePage > 0) {
            return f.codePage;
        }
        std::string_view name(f.name);
        name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
        if (f.charset == 2 || f.charset < 0) {
            // Only the Symbol font has a known layout; other symbol fonts
            // (Wingdings and the like) fall back to the document's code page.
            if (name.starts_with("Symbol")) {
                return kSymbolCodePage;
            }
        }
        int cp = 0;
        if (f.charset < 0) {
            cp = rtf::codePageForFontName(name);
        } else if (f.charset != 2) {
            cp = rtf::codePageForCharset(f.charset);
        }
        return cp != 0 ? cp : defaultCodePage_;
    }

    void unicode(int32_t n) {
        int64_t value = n < 0 ? int64_t{n} + 65536 : n;
        if (value < 0 || value > 0x10FFFF) {
            emitCodePoint(kReplacementCharacter);
            return;
        }
        auto cp = static_cast<char32_t>(value);
        if (top().codePage == kSymbolCodePage && cp >= 0xF020 && cp <= 0xF0FF) {
            // Symbol-font characters written in the private-use area.
            char32_t mapped = rtf::symbolToUnicode(static_cast<unsigned char>(cp - 0xF000));
            cp = mapped != 0 ? mapped : kReplacementCharacter;
        }
        emitCodePoint(cp);
    }

    void endCell() {
        flushPending();
        Output& t = target();
        lineStart(t, true);
        // A cell's last paragraph mark ends the cell, not a line of the row.
        if (lineEndTarget_ == &t && lineEndEnd_ == t.size() && !t.empty() && t.back() == '\n') {
            t.setBack('\t');
        } else {
            t.push_back('\t');
        }
        cellTabTarget_ = &t;
        cellTabEnd_ = t.size();
    }

    void endRow() {
        flushPending();
        Output& t = target();
        lineStart(t, true);
        // The last cell's tab would end the line: a row ends with its line end.
        if (cellTabTarget_ == &t && cellTabEnd_ == t.size() && !t.empty() && t.back() == '\t') {
            t.setBack('\n');
        } else {
            t.push_back('\n');
        }
        cellTabTarget_ = nullptr;
    }

    // --- Output. Code-page bytes and a high surrogate wait in pending
    // state until the next character shows how to complete them.

    void emitAscii(char c) {
        flushPending();
        lineStart(target(), c == '\n');
        target().push_back(c);
    }

    void emitAscii(std::string_view s) {
        flushPending();
        lineStart(target(), false);
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
                cp = kReplacementCharacter;
            }
        }
        flushPending();
        if (cp == 0 || cp == 0x7F || (cp < 0x20 && cp != '\t' && cp != '\n')) {
            if (cp == '\r') {
                emitAscii('\n');
            }
            return;
        }
        lineStart(target(), cp == '\n');
        target().appendUtf8(cp);
    }

    void emitByte(unsigned char b) {
        const State& st = top();
        Output* t = &target();
        if (highSurrogate_ != 0) {
            flushSurrogate();
        }
        if (!pendingBytes_.empty() && (pendingCodePage_ != st.codePage || pendingTarget_ != t)) {
            flushBytes();
        }
        if (b < 0x20 && !pendingLead_) {
            controlByte(b);
            return;
        }
        if (pendingBytes_.empty()) {
            lineStart(*t, false);
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

    // Control bytes are layout, as raw ones are, but for a tab and a line
    // end: \'0d and \'0a each end a line, and together they end one.
    void controlByte(unsigned char b) {
        Output& t = target();
        if (b == '\t') {
            emitAscii('\t');
        } else if (b == '\r' || b == '\n') {
            const bool afterCr = b == '\n' && crTarget_ == &t && crEnd_ == t.size();
            crTarget_ = nullptr;
            if (!afterCr) {
                emitAscii('\n');
                crTarget_ = b == '\r' ? &t : nullptr;
                crEnd_ = t.size();
            }
        }
    }

    void flushBytes() {
        if (pendingBytes_.empty()) {
            return;
        }
        pendingTarget_->append(decoder_.decode(pendingCodePage_, pendingBytes_));
        pendingBytes_.clear();
        pendingLead_ = false;
    }

    void flushSurrogate() {
        // A high surrogate with no low one after it.
        highSurrogateTarget_->appendUtf8(kReplacementCharacter);
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
            return out_.take();
        }
        // Notes follow the body after an empty line, as a plain-text save
        // of a word processor places them.
        if (!out_.empty()) {
            if (out_.back() != '\n') {
                out_.push_back('\n');
            }
            out_.push_back('\n');
        }
        std::string notes = notes_.take();
        out_.append(notes.data(), notes.size());
        return out_.take();
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
    bool atGroupStart_ = false; // nothing but \* yet since the group opened

    std::unordered_map<int, Font> fonts_;
    Font* currentFont_ = nullptr;
    int defaultFont_ = -1;
    int defaultCodePage_ = kDefaultCodePage;
    bool ansiCodePageSet_ = false;
    int footnoteCount_ = 0;

    Output out_;
    Output notes_;
    Output nested_;             // results of fields nested in field instructions
    Output* lineDue_ = nullptr; // the output whose next text begins a line
    // The output and its size right after the line end of the last \'0d.
    Output* crTarget_ = nullptr;
    size_t crEnd_ = 0;
    // Where the last cell tab and the last line end were written, so that a
    // row or cell end can take their place.
    Output* cellTabTarget_ = nullptr;
    size_t cellTabEnd_ = 0;
    Output* lineEndTarget_ = nullptr;
    size_t lineEndEnd_ = 0;

    rtf::CodePageDecoder decoder_;
    std::string pendingBytes_;
    int pendingCodePage_ = 0;
    Output* pendingTarget_ = nullptr;
    bool pendingLead_ = false;
    char32_t highSurrogate_ = 0;
    Output* highSurrogateTarget_ = nullptr;
};

} // namespace
} // namespace rtf

std::string rtfToText(std::string_view document) {
    return rtf::Reader(document).run();
}

} // namespace vantrel::extractor
