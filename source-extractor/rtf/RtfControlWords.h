// The control words the RTF reader acts on, and the table that finds them:
// built at compile time, looked up once per control word of a document.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel::extractor::rtf {

// What a group's text is for.
enum class Dest : uint8_t {
    Text,            // visible text
    FontTable,       // font definitions: numbers, charsets, names
    Skip,            // not text (pictures, tables of metadata, field codes, ...)
    SkipToResult,    // an embedded object: only its \result is text
    SkipToUnicode,   // \upr: only its \ud part is read
    SkipToShapeText, // shape properties: only \shptxt is text
    FieldInstruction // only the results of fields nested in it are text
};

constexpr bool isSkipping(Dest d) {
    return d >= Dest::Skip;
}

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

inline constexpr uint32_t kSkip = static_cast<uint32_t>(Dest::Skip);
// What a Kind::TextDest word starts, when the reader must know.
enum : uint32_t { kPlainText, kField, kFieldResult, kShapeText };

// The control words the reader acts on. Destinations of Kind::Dest hold no
// body text: headers, footers and comments are page furniture; list and
// field codes are formatting.
inline constexpr WordEntry kWords[] = {
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
    {"fldinst", {Kind::Dest, static_cast<uint32_t>(Dest::FieldInstruction)}},
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
    {"sp", {Kind::Dest, kSkip}}, // shape properties, wherever they stand
    {"sn", {Kind::Dest, kSkip}},
    {"sv", {Kind::Dest, kSkip}},
    {"object", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToResult)}},
    {"upr", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToUnicode)}},
    {"shpinst", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToShapeText)}},
    {"shpgrp", {Kind::Dest, static_cast<uint32_t>(Dest::SkipToShapeText)}},
    {"fonttbl", {Kind::FontTable}},
    {"footnote", {Kind::Footnote}},
    // Known destinations that are read as text even behind \*.
    {"fldrslt", {Kind::TextDest, kFieldResult}},
    {"field", {Kind::TextDest, kField}},
    {"result", {Kind::TextDest}},
    {"ud", {Kind::TextDest}},
    {"shptxt", {Kind::TextDest, kShapeText}},
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

inline constexpr WordTable kWordTable;

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

} // namespace vantrel::extractor::rtf
