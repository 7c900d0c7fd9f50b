#include "RtfText.h"

#include "RtfCodePages.h"
#include "Utf8.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace vantrel::extractor {

namespace {

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
    Kind kind = Kind::TextDest;
    uint32_t arg = 0;
};

struct WordEntry {
    std::string_view word;
    WordInfo info;
};

constexpr uint32_t kSkip = static_cast<uint32_t>(Dest::Skip);

// The control words the reader acts on. Destinations of Kind::Dest hold no
// body text: headers, footers and comments are page furniture; list and
// field codes are formatting.
constexpr WordEntry kWords[] = {
    {"colortbl", {Kind::Dest, kSkip}},
    {"stylesheet", {Kind::Dest, kSkip}},
    {"info", {Kind::Dest, kSkip}},
    {"pict", {Kind::Dest, kSkip}},
    {"header", {Kind::Dest, kSkip}},
    {"headerl", {Kind::Dest, kSkip}},
    {"headerr", {Kind::Dest, kSkip}},
    {"headerf", {Kind::Dest, kSkip}},
    {"footer", {Kind::Dest, kSkip}},
    {"footerl", {Kind::Dest, kSkip}},
    {"footerr", {Kind::Dest, kSkip}},
    {"footerf", {Kind::Dest, kSkip}},
    {"annotation", {Kind::Dest, kSkip}},
    {"fldinst", {Kind::Dest, kSkip}},
    {"datafield", {Kind::Dest, kSkip}},
    {"xe", {Kind::Dest, kSkip}},
    {"tc", {Kind::Dest, kSkip}},
    {"tcn", {Kind::Dest, kSkip}},
    {"txe", {Kind::Dest, kSkip}},
    {"rxe", {Kind::Dest, kSkip}},
    {"pn", {Kind::Dest, kSkip}},
    {"pntxta", {Kind::Dest, kSkip}},
    {"pntxtb", {Kind::Dest, kSkip}},
    {"listtable", {Kind::Dest, kSkip}},
    {"listoverridetable", {Kind::Dest, kSkip}},
    {"revtbl", {Kind::Dest, kSkip}},
    {"rsidtbl", {Kind::Dest, kSkip}},
    {"filetbl", {Kind::Dest, kSkip}},
    {"generator", {Kind::Dest, kSkip}},
    {"xmlnstbl", {Kind::Dest, kSkip}},
    {"themedata", {Kind::Dest, kSkip}},
    {"colorschememapping", {Kind::Dest, kSkip}},
    {"datastore", {Kind::Dest, kSkip}},
    {"latentstyles", {Kind::Dest, kSkip}},
    {"pgdsctbl", {Kind::Dest, kSkip}},
    {"template", {Kind::Dest, kSkip}},
    {"docvar", {Kind::Dest, kSkip}},
    {"userprops", {Kind::Dest, kSkip}},
    {"ftnsep", {Kind::Dest, kSkip}},
    {"ftnsepc", {Kind::Dest, kSkip}},
    {"ftncn", {Kind::Dest, kSkip}},
    {"aftnsep", {Kind::Dest, kSkip}},
    {"aftnsepc", {Kind::Dest, kSkip}},
    {"aftncn", {Kind::Dest, kSkip}},
    {"shprslt", {Kind::Dest, kSkip}},
    {"nonshppict", {Kind::Dest, kSkip}},
    {"shppict", {Kind::Dest, kSkip}},
    {"nonesttables", {Kind::Dest, kSkip}},
    {"objdata", {Kind::Dest, kSkip}},
    {"bkmkstart", {Kind::Dest, kSkip}},
    {"bkmkend", {Kind::Dest, kSkip}},
    {"do", {Kind::Dest, kSkip}},
    {"keycode", {Kind::Dest, kSkip}},
    {"mmathPr", {Kind::Dest, kSkip}},
    {"protusertbl", {Kind::Dest, kSkip}},
    {"formfield", {Kind::Dest, kSkip}},
    {"object", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToResult)}},
    {"upr", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToUnicode)}},
    {"shpinst", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToShapeText)}},
    {"shpgrp", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToShapeText)}},
    {"fonttbl", {Kind::FontTable}},
    {"footnote", {Kind::Footnote}},
    // Known destinations that are read as text even behind \*.
    {"fldrslt", {Kind::TextDest}},
    {"field", {Kind::TextDest}},
    {"result", {Kind::TextDest}},
    {"ud", {Kind::TextDest}},
    {"shptxt", {Kind::TextDest}},
    {"nesttableprops", {Kind::TextDest}},
    {"listtext", {Kind::TextDest}},
    {"pntext", {Kind::TextDest}},
    {"emdash", {Kind::Char, 0x2014}},
    {"endash", {Kind::Char, 0x2013}},
    {"bullet", {Kind::Char, 0x2022}},
    {"lquote", {Kind::Char, 0x2018}},
    {"rquote", {Kind::Char, 0x2019}},
    {"ldblquote", {Kind::Char, 0x201C}},
    {"rdblquote", {Kind::Char, 0x201D}},
    {"emspace", {Kind::Char, 0x2003}},
    {"enspace", {Kind::Char, 0x2002}},
    {"qmspace", {Kind::Char, 0x2005}},
    {"zwj", {Kind::Char, 0x200D}},
    {"zwnj", {Kind::Char, 0x200C}},
    {"ltrmark", {Kind::Char, 0x200E}},
    {"rtlmark", {Kind::Char, 0x200F}},
    {"par", {Kind::Par}},
    {"line", {Kind::Par}},
    {"sect", {Kind::Par}},
    {"page", {Kind::Par}},
    {"column", {Kind::Par}},
    {"tab", {Kind::Tab}},
    {"cell", {Kind::Cell}},
    {"nestcell", {Kind::Cell}},
    {"row", {Kind::Row}},
    {"nestrow", {Kind::Row}},
    {"u", {Kind::U}},
    {"uc", {Kind::Uc}},
    {"f", {Kind::F}},
    {"fcharset", {Kind::Fcharset}},
    {"cpg", {Kind::Cpg}},
    {"deff", {Kind::Deff}},
    {"ansicpg", {Kind::Ansicpg}},
    {"ansi", {Kind::CharsetDefault, 1252}},
    {"mac", {Kind::CharsetDefault, 10000}},
    {"pc", {Kind::CharsetDefault, 437}},
    {"pca", {Kind::CharsetDefault, 850}},
    {"plain", {Kind::Plain}},
    {"v", {Kind::Hidden}},
    {"deleted", {Kind::Deleted}},
    {"bin", {Kind::Bin}},
    {"chftn", {Kind::Chftn}},
};

// Open addressing over a table built at compile time. The lookup runs once
// per control word, so the hash reads only four characters and the length:
// one multiply, not a loop over the word. Slots hold one-byte indexes into
// kWords, so the table stays in cache between pictures' data.
class WordTable {
  public:
    static constexpr size_t kBits = 10;
    static constexpr size_t kMaxLength = 18; // longer words are never known

    constexpr WordTable() {
        for (size_t k = 0; k < std::size(kWords); ++k) {
            size_t i = hash(kWords[k].word.data(), kWords[k].word.size());
            while (slots_[i] != 0) {
                i = (i + 1) & kMask;
            }
            slots_[i] = static_cast<uint8_t>(k + 1);
        }
    }

    const WordInfo* find(const char* word, size_t n) const {
        if (n > kMaxLength) {
            return nullptr;
        }
        for (size_t i = hash(word, n); slots_[i] != 0; i = (i + 1) & kMask) {
            const WordEntry& e = kWords[slots_[i] - 1];
            if (e.word.size() == n && equal(e.word.data(), word, n)) {
                return &e.info;
            }
        }
        return nullptr;
    }

    // Probes a lookup of the word takes: for the compile-time check below.
    constexpr size_t probes(std::string_view word) const {
        size_t count = 1;
        for (size_t i = hash(word.data(), word.size()); kWords[slots_[i] - 1].word != word;
             i = (i + 1) & kMask) {
            ++count;
        }
        return count;
    }

  private:
    static constexpr size_t kMask = (size_t{1} << kBits) - 1;
    static constexpr size_t hash(const char* w, size_t n) {
        auto at = [w](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(w[i])); };
        uint32_t key = static_cast<uint32_t>(n) << 24 ^ at(0) << 16 ^ at(n / 2) << 8 ^ at(n - 1);
        return (key * 0x9E3779B1u) >> (32 - kBits);
    }
    // Words are short: a loop beats a call to memcmp.
    static bool equal(const char* a, const char* b, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }
    std::array<uint8_t, size_t{1} << kBits> slots_{};
};
static_assert(std::size(kWords) < 255, "slots hold one-byte indexes");

constexpr WordTable kWordTable;

// The table is a tenth full, so any word should be found in one or two
// probes; this fails the build should an edit make chains long.
constexpr bool probesAreShort() {
    for (const WordEntry& e : kWords) {
        if (e.word.size() > WordTable::kMaxLength || kWordTable.probes(e.word) > 2) {
            return false;
        }
    }
    return true;
}
static_assert(probesAreShort());

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

// Sixteen bytes at a time, in the compiler's portable vector types (SSE2 on
// x86-64, NEON on ARM): picture data runs for many kilobytes without a brace
// or backslash, and text runs for dozens of letters.
using Bytes16 = unsigned char __attribute__((vector_size(16)));
using SignedBytes16 = signed char __attribute__((vector_size(16)));

Bytes16 load16(const unsigned char* p) {
    Bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The index of the first set lane of a comparison result, or 16 for none.
size_t firstSet(SignedBytes16 mask) {
    uint64_t lo;
    uint64_t hi;
    std::memcpy(&lo, &mask, sizeof lo);
    std::memcpy(&hi, reinterpret_cast<const char*>(&mask) + sizeof lo, sizeof hi);
    // Without a branch on which half: run lengths are too random to predict.
    auto inLo = static_cast<size_t>(std::countr_zero(lo)) / 8;
    auto inHi = static_cast<size_t>(std::countr_zero(hi)) / 8;
    return inLo < 8 ? inLo : 8 + inHi;
}

SignedBytes16 specials(Bytes16 v) {
    return (v == '{') | (v == '}') | (v == '\\');
}

bool any(SignedBytes16 mask) {
    uint64_t lo;
    uint64_t hi;
    std::memcpy(&lo, &mask, sizeof lo);
    std::memcpy(&hi, reinterpret_cast<const char*>(&mask) + sizeof lo, sizeof hi);
    return (lo | hi) != 0;
}

// The first '{', '}' or '\\' at or after p.
const unsigned char* findSpecial(const unsigned char* p, const unsigned char* end) {
    while (end - p >= 64) {
        SignedBytes16 a = specials(load16(p));
        SignedBytes16 b = specials(load16(p + 16));
        SignedBytes16 c = specials(load16(p + 32));
        SignedBytes16 d = specials(load16(p + 48));
        if (any(a | b | c | d)) {
            break; // found below, sixteen bytes at a time
        }
        p += 64;
    }
    while (end - p >= 16) {
        size_t i = firstSet(specials(load16(p)));
        if (i < 16) {
            return p + i;
        }
        p += 16;
    }
    while (p < end && kClass[*p] != kSpecial) {
        ++p;
    }
    return p;
}

// Stops a run of text: bytes that are not kPlain.
SignedBytes16 plainStops(Bytes16 v) {
    // Signed, bytes from 0x80 up compare below the space as well.
    return (std::bit_cast<SignedBytes16>(v) < ' ') | (v == 0x7F) | specials(v);
}

// The end of the run of kPlain bytes starting at p.
const unsigned char* findPlainEnd(const unsigned char* p, const unsigned char* end) {
    while (end - p >= 16) {
        size_t i = firstSet(plainStops(load16(p)));
        if (i < 16) {
            return p + i;
        }
        p += 16;
    }
    while (p < end && kClass[*p] == kPlain) {
        ++p;
    }
    return p;
}

bool isLetter(unsigned char c) {
    return static_cast<unsigned char>((c | 0x20) - 'a') < 26;
}
bool isDigit(unsigned char c) {
    return static_cast<unsigned char>(c - '0') < 10;
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

// The numeric parameter of a control word at p and its delimiting space, if
// any; false when there is no parameter. Inlined into both hot callers.
[[gnu::always_inline]] inline bool readParameter(const unsigned char*& p, const unsigned char* end,
                                                 int32_t& n) {
    int64_t param = 0;
    bool negative = false;
    if (p < end && *p == '-' && p + 1 < end && isDigit(p[1])) {
        negative = true;
        ++p;
    }
    const unsigned char* digits = p;
    size_t count = 8;
    if (end - p >= 8) {
        // Up to seven digits at once, without a branch per digit: numbers
        // of every length follow each other, so a loop's exit is a guess.
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        uint64_t values = word ^ 0x3030303030303030u; // digits become 0 to 9
        uint64_t nonDigits = ((values + 0x7676767676767676u) | values) & 0x8080808080808080u;
        count = static_cast<size_t>(std::countr_zero(nonDigits)) / 8;
        if (count > 0 && count < 8) {
            // Parse the digits as eight, the missing leading ones zero: the
            // first digit sits in the lowest byte.
            uint64_t v = values << (8 * (8 - count));
            v = ((v & 0x0F0F0F0F0F0F0F0Fu) * 2561) >> 8;
            v = ((v & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
            v = ((v & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
            param = static_cast<int64_t>(v);
            p += count;
        }
    }
    if (count == 8) {
        while (p < end && isDigit(*p)) {
            // Held below a bound past any real value, so it cannot overflow.
            param = std::min<int64_t>(param * 10 + (*p - '0'), 100000000000);
            ++p;
        }
    }
    const bool hasParam = p != digits;
    if (p < end && *p == ' ') {
        ++p; // the delimiting space belongs to the word
    }
    n = static_cast<int32_t>(std::clamp<int64_t>(negative ? -param : param, INT32_MIN, INT32_MAX));
    return hasParam;
}

// A \uN escape at p whose character goes straight to the text: not a
// surrogate or a control character, which need the reader's state. False,
// with p unmoved, for anything else.
bool readPlainUnicode(const unsigned char*& p, const unsigned char* end, char32_t& cp) {
    if (end - p < 3 || p[1] != 'u' ||
        !(isDigit(p[2]) || (p[2] == '-' && end - p > 3 && isDigit(p[3])))) {
        return false;
    }
    const unsigned char* q = p + 2;
    int32_t n = 0;
    readParameter(q, end, n);
    int64_t value = n < 0 ? int64_t{n} + 65536 : n;
    cp = value < 0 || value > 0x10FFFF ? kReplacement : static_cast<char32_t>(value);
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp < 0x20 || cp == 0x7F) {
        return false;
    }
    p = q;
    return true;
}

// Skips the fallback after \uN as the main loop would read it, for the usual
// forms: \'hh escapes and plain characters. Anything else is left to the
// main loop, with `remaining` still counting.
[[gnu::always_inline]] inline const unsigned char*
skipFallback(const unsigned char* p, const unsigned char* end, int& remaining, bool fontTable) {
    while (remaining > 0 && p < end) {
        if (*p == '\\') {
            if (end - p < 4 || p[1] != '\'' || hexValue(p[2]) < 0 || hexValue(p[3]) < 0) {
                break;
            }
            p += 4;
        } else if (kClass[*p] == kSpecial || kClass[*p] == kIgnore || fontTable) {
            break; // the font table reads a fallback character as a name
        } else {
            ++p;
        }
        --remaining;
    }
    return p;
}

// Text being written. Appending to std::string checks capacity and writes a
// terminator per call; here the string is grown ahead in steps and filled
// through a pointer. Steps are small so that a large reservation is touched
// only as far as text is written.
class Output {
  public:
    void reserve(size_t n) { s_.reserve(n); }
    size_t size() const { return used_; }
    bool empty() const { return used_ == 0; }
    char back() const { return data_[used_ - 1]; }
    void setBack(char c) { data_[used_ - 1] = c; }

    // Room for n more bytes, to be taken with commit().
    char* room(size_t n) {
        if (room_ - used_ < n) [[unlikely]] {
            grow(n);
        }
        return data_ + used_;
    }
    void commit(size_t n) { used_ += n; }

    void push_back(char c) {
        *room(1) = c;
        ++used_;
    }
    void append(const char* p, size_t n) {
        if (n != 0) { // memcpy must not see the null data of an empty output
            std::memcpy(room(n), p, n);
            used_ += n;
        }
    }
    void append(std::string_view s) { append(s.data(), s.size()); }

    void appendUtf8(char32_t cp) { used_ += encodeUtf8(cp, room(4)); }

    std::string take() {
        s_.resize(used_);
        data_ = nullptr;
        room_ = used_ = 0;
        return std::move(s_);
    }

  private:
    // Out of line: the callers above are inlined everywhere. Steps double
    // up to kStep, so a short text fills no more than it needs.
    [[gnu::noinline]] void grow(size_t n) {
        s_.resize(used_ + std::max(n, std::clamp<size_t>(used_, 256, kStep)));
        data_ = s_.data();
        room_ = s_.size();
    }

    static constexpr size_t kStep = 64 * 1024;
    std::string s_; // s_.size() is the room grown so far; text ends at used_
    char* data_ = nullptr;
    size_t room_ = 0;
    size_t used_ = 0;
};

// Appends the run of kPlain bytes starting at p; returns its end. Whole
// blocks are stored and only the run's part of them kept, which saves a
// copy call for the short runs between escapes.
const unsigned char* copyPlainRun(const unsigned char* p, const unsigned char* end, Output& out) {
    while (end - p >= 16) {
        Bytes16 v = load16(p);
        size_t n = firstSet(plainStops(v));
        std::memcpy(out.room(sizeof v), &v, sizeof v);
        out.commit(n);
        p += n;
        if (n < sizeof v) {
            return p;
        }
    }
    const unsigned char* start = p;
    while (p < end && kClass[*p] == kPlain) {
        ++p;
    }
    out.append(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
    return p;
}

// The byte two hex digits give; -1 when they are not both hex digits.
int hexPair(unsigned char hi, unsigned char lo) {
    int h = hexValue(hi);
    int l = hexValue(lo);
    return h < 0 || l < 0 ? -1 : h * 16 + l;
}

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
    Output& target() { return top().toNotes ? notes_ : out_; }

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
            p_ = findPlainEnd(p_ + 1, end_);
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
        flushPending();
        // Text between \uN escapes runs here without the round trip through
        // the main loop: the state that allowed this run holds for the next.
        // Locals, not members, as output stores may alias members.
        Output& out = target();
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
        int32_t n = 0;
        const bool hasParam = readParameter(p_, end_, n);

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
                p_ = skipFallback(p_, end_, ucRemaining_, top().dest == Dest::FontTable);
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
        Output& t = target();
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
        target().push_back(c);
    }

    void emitAscii(std::string_view s) {
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
        pendingTarget_->append(decoder_.decode(pendingCodePage_, pendingBytes_));
        pendingBytes_.clear();
        pendingLead_ = false;
    }

    void flushSurrogate() {
        // A high surrogate with no low one after it.
        highSurrogateTarget_->appendUtf8(kReplacement);
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

    std::unordered_map<int, Font> fonts_;
    Font* currentFont_ = nullptr;
    int defaultFont_ = -1;
    int defaultCodePage_ = rtf::kDefaultCodePage;
    bool ansiCodePageSet_ = false;
    int footnoteCount_ = 0;

    Output out_;
    Output notes_;
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

std::string rtfToText(std::string_view rtf) {
    return Reader(rtf).run();
}

} // namespace vantrel::extractor
