#include "html/HtmlEncoding.h"

#include "text/LegacyEncoding.h"
#include "text/Utf16Text.h"
#include "text/Utf8.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace vantrel::extractor {
namespace {

constexpr std::string_view kUtf8 = "UTF-8";
constexpr std::string_view kWindows1252 = "windows-1252";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// A browser reads at least this much of the document looking for a <meta>
// charset, and further only while no tag has shown that the body has begun.
constexpr std::size_t kPrescanMinimum = 1024;

// Web encoding labels, mapped to what decodes them here: "UTF-8",
// "windows-1252" (decoded by our own table) or an iconv name. Meta-declared
// UTF-16 means UTF-8, since a prescan that could read the tag proves the bytes
// are not UTF-16; Latin-1 and ASCII mean windows-1252, as in browsers.
struct Label {
    std::string_view label;
    std::string_view encoding;
};

constexpr Label kLabels[] = {
    {"unicode-1-1-utf-8", kUtf8},
    {"unicode11utf8", kUtf8},
    {"unicode20utf8", kUtf8},
    {"utf-8", kUtf8},
    {"utf8", kUtf8},
    {"x-unicode20utf8", kUtf8},
    {"unicodefffe", kUtf8},
    {"utf-16be", kUtf8},
    {"csunicode", kUtf8},
    {"iso-10646-ucs-2", kUtf8},
    {"ucs-2", kUtf8},
    {"unicode", kUtf8},
    {"unicodefeff", kUtf8},
    {"utf-16", kUtf8},
    {"utf-16le", kUtf8},
    {"866", "IBM866"},
    {"cp866", "IBM866"},
    {"csibm866", "IBM866"},
    {"ibm866", "IBM866"},
    {"csisolatin2", "ISO-8859-2"},
    {"iso-8859-2", "ISO-8859-2"},
    {"iso-ir-101", "ISO-8859-2"},
    {"iso8859-2", "ISO-8859-2"},
    {"iso88592", "ISO-8859-2"},
    {"iso_8859-2", "ISO-8859-2"},
    {"iso_8859-2:1987", "ISO-8859-2"},
    {"l2", "ISO-8859-2"},
    {"latin2", "ISO-8859-2"},
    {"csisolatin3", "ISO-8859-3"},
    {"iso-8859-3", "ISO-8859-3"},
    {"iso-ir-109", "ISO-8859-3"},
    {"iso8859-3", "ISO-8859-3"},
    {"iso88593", "ISO-8859-3"},
    {"iso_8859-3", "ISO-8859-3"},
    {"iso_8859-3:1988", "ISO-8859-3"},
    {"l3", "ISO-8859-3"},
    {"latin3", "ISO-8859-3"},
    {"csisolatin4", "ISO-8859-4"},
    {"iso-8859-4", "ISO-8859-4"},
    {"iso-ir-110", "ISO-8859-4"},
    {"iso8859-4", "ISO-8859-4"},
    {"iso88594", "ISO-8859-4"},
    {"iso_8859-4", "ISO-8859-4"},
    {"iso_8859-4:1988", "ISO-8859-4"},
    {"l4", "ISO-8859-4"},
    {"latin4", "ISO-8859-4"},
    {"csisolatincyrillic", "ISO-8859-5"},
    {"cyrillic", "ISO-8859-5"},
    {"iso-8859-5", "ISO-8859-5"},
    {"iso-ir-144", "ISO-8859-5"},
    {"iso8859-5", "ISO-8859-5"},
    {"iso88595", "ISO-8859-5"},
    {"iso_8859-5", "ISO-8859-5"},
    {"iso_8859-5:1988", "ISO-8859-5"},
    {"arabic", "ISO-8859-6"},
    {"asmo-708", "ISO-8859-6"},
    {"csiso88596e", "ISO-8859-6"},
    {"csiso88596i", "ISO-8859-6"},
    {"csisolatinarabic", "ISO-8859-6"},
    {"ecma-114", "ISO-8859-6"},
    {"iso-8859-6", "ISO-8859-6"},
    {"iso-8859-6-e", "ISO-8859-6"},
    {"iso-8859-6-i", "ISO-8859-6"},
    {"iso-ir-127", "ISO-8859-6"},
    {"iso8859-6", "ISO-8859-6"},
    {"iso88596", "ISO-8859-6"},
    {"iso_8859-6", "ISO-8859-6"},
    {"iso_8859-6:1987", "ISO-8859-6"},
    {"csisolatingreek", "ISO-8859-7"},
    {"ecma-118", "ISO-8859-7"},
    {"elot_928", "ISO-8859-7"},
    {"greek", "ISO-8859-7"},
    {"greek8", "ISO-8859-7"},
    {"iso-8859-7", "ISO-8859-7"},
    {"iso-ir-126", "ISO-8859-7"},
    {"iso8859-7", "ISO-8859-7"},
    {"iso88597", "ISO-8859-7"},
    {"iso_8859-7", "ISO-8859-7"},
    {"iso_8859-7:1987", "ISO-8859-7"},
    {"sun_eu_greek", "ISO-8859-7"},
    {"csiso88598e", "ISO-8859-8"},
    {"csisolatinhebrew", "ISO-8859-8"},
    {"hebrew", "ISO-8859-8"},
    {"iso-8859-8", "ISO-8859-8"},
    {"iso-8859-8-e", "ISO-8859-8"},
    {"iso-ir-138", "ISO-8859-8"},
    {"iso8859-8", "ISO-8859-8"},
    {"iso88598", "ISO-8859-8"},
    {"iso_8859-8", "ISO-8859-8"},
    {"iso_8859-8:1988", "ISO-8859-8"},
    {"visual", "ISO-8859-8"},
    {"csiso88598i", "ISO-8859-8"},
    {"iso-8859-8-i", "ISO-8859-8"},
    {"logical", "ISO-8859-8"},
    {"csisolatin6", "ISO-8859-10"},
    {"iso-8859-10", "ISO-8859-10"},
    {"iso-ir-157", "ISO-8859-10"},
    {"iso8859-10", "ISO-8859-10"},
    {"iso885910", "ISO-8859-10"},
    {"l6", "ISO-8859-10"},
    {"latin6", "ISO-8859-10"},
    {"iso-8859-13", "ISO-8859-13"},
    {"iso8859-13", "ISO-8859-13"},
    {"iso885913", "ISO-8859-13"},
    {"iso-8859-14", "ISO-8859-14"},
    {"iso8859-14", "ISO-8859-14"},
    {"iso885914", "ISO-8859-14"},
    {"csisolatin9", "ISO-8859-15"},
    {"iso-8859-15", "ISO-8859-15"},
    {"iso8859-15", "ISO-8859-15"},
    {"iso885915", "ISO-8859-15"},
    {"iso_8859-15", "ISO-8859-15"},
    {"l9", "ISO-8859-15"},
    {"iso-8859-16", "ISO-8859-16"},
    {"cskoi8r", "KOI8-R"},
    {"koi", "KOI8-R"},
    {"koi8", "KOI8-R"},
    {"koi8-r", "KOI8-R"},
    {"koi8_r", "KOI8-R"},
    {"koi8-ru", "KOI8-RU"},
    {"koi8-u", "KOI8-RU"},
    {"csmacintosh", "MACINTOSH"},
    {"mac", "MACINTOSH"},
    {"macintosh", "MACINTOSH"},
    {"x-mac-roman", "MACINTOSH"},
    {"dos-874", "CP874"},
    {"iso-8859-11", "CP874"},
    {"iso8859-11", "CP874"},
    {"iso885911", "CP874"},
    {"tis-620", "CP874"},
    {"windows-874", "CP874"},
    {"cp1250", "CP1250"},
    {"windows-1250", "CP1250"},
    {"x-cp1250", "CP1250"},
    {"cp1251", "CP1251"},
    {"windows-1251", "CP1251"},
    {"x-cp1251", "CP1251"},
    {"ansi_x3.4-1968", kWindows1252},
    {"ascii", kWindows1252},
    {"cp1252", kWindows1252},
    {"cp819", kWindows1252},
    {"csisolatin1", kWindows1252},
    {"ibm819", kWindows1252},
    {"iso-8859-1", kWindows1252},
    {"iso-ir-100", kWindows1252},
    {"iso8859-1", kWindows1252},
    {"iso88591", kWindows1252},
    {"iso_8859-1", kWindows1252},
    {"iso_8859-1:1987", kWindows1252},
    {"l1", kWindows1252},
    {"latin1", kWindows1252},
    {"us-ascii", kWindows1252},
    {"windows-1252", kWindows1252},
    {"x-cp1252", kWindows1252},
    {"x-user-defined", kWindows1252},
    {"cp1253", "CP1253"},
    {"windows-1253", "CP1253"},
    {"x-cp1253", "CP1253"},
    {"cp1254", "CP1254"},
    {"csisolatin5", "CP1254"},
    {"iso-8859-9", "CP1254"},
    {"iso-ir-148", "CP1254"},
    {"iso8859-9", "CP1254"},
    {"iso88599", "CP1254"},
    {"iso_8859-9", "CP1254"},
    {"iso_8859-9:1989", "CP1254"},
    {"l5", "CP1254"},
    {"latin5", "CP1254"},
    {"windows-1254", "CP1254"},
    {"x-cp1254", "CP1254"},
    {"cp1255", "CP1255"},
    {"windows-1255", "CP1255"},
    {"x-cp1255", "CP1255"},
    {"cp1256", "CP1256"},
    {"windows-1256", "CP1256"},
    {"x-cp1256", "CP1256"},
    {"cp1257", "CP1257"},
    {"windows-1257", "CP1257"},
    {"x-cp1257", "CP1257"},
    {"cp1258", "CP1258"},
    {"windows-1258", "CP1258"},
    {"x-cp1258", "CP1258"},
    {"x-mac-cyrillic", "MAC-CYRILLIC"},
    {"x-mac-ukrainian", "MAC-CYRILLIC"},
    {"chinese", "GB18030"},
    {"csgb2312", "GB18030"},
    {"csiso58gb231280", "GB18030"},
    {"gb2312", "GB18030"},
    {"gb_2312", "GB18030"},
    {"gb_2312-80", "GB18030"},
    {"gbk", "GB18030"},
    {"iso-ir-58", "GB18030"},
    {"x-gbk", "GB18030"},
    {"gb18030", "GB18030"},
    {"big5", "BIG5-HKSCS"},
    {"big5-hkscs", "BIG5-HKSCS"},
    {"cn-big5", "BIG5-HKSCS"},
    {"csbig5", "BIG5-HKSCS"},
    {"x-x-big5", "BIG5-HKSCS"},
    {"cseucpkdfmtjapanese", "EUC-JP"},
    {"euc-jp", "EUC-JP"},
    {"x-euc-jp", "EUC-JP"},
    {"csiso2022jp", "ISO-2022-JP"},
    {"iso-2022-jp", "ISO-2022-JP"},
    {"csshiftjis", "CP932"},
    {"ms932", "CP932"},
    {"ms_kanji", "CP932"},
    {"shift-jis", "CP932"},
    {"shift_jis", "CP932"},
    {"sjis", "CP932"},
    {"windows-31j", "CP932"},
    {"x-sjis", "CP932"},
    {"cseuckr", "CP949"},
    {"csksc56011987", "CP949"},
    {"euc-kr", "CP949"},
    {"iso-ir-149", "CP949"},
    {"korean", "CP949"},
    {"ks_c_5601-1987", "CP949"},
    {"ks_c_5601-1989", "CP949"},
    {"ksc5601", "CP949"},
    {"ksc_5601", "CP949"},
    {"windows-949", "CP949"},
};

// Bytes 0x80-0x9F; the rest of windows-1252 is Latin-1. The five unassigned
// bytes map to the C1 controls, as browsers do, so no byte is ever lost.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool isHtmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isAsciiAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view encodingForLabel(std::string_view label) {
    while (!label.empty() && isHtmlSpace(label.front())) {
        label.remove_prefix(1);
    }
    while (!label.empty() && isHtmlSpace(label.back())) {
        label.remove_suffix(1);
    }
    std::string lowered(label);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), asciiLower);
    for (const Label& entry : kLabels) {
        if (entry.label == lowered) {
            return entry.encoding;
        }
    }
    return {};
}

// Undeclared bytes are UTF-8 when they are, when the only fault is a character
// cut off by the end of the file, or when good multi-byte characters outnumber
// the damaged ones four to one: a long UTF-8 text with one stray byte should
// not turn into mojibake, while Latin-1 text almost never forms UTF-8 pairs.
bool looksLikeUtf8(std::string_view in) {
    std::size_t good = 0;
    std::size_t damaged = 0;
    bool cutAtEnd = false;
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const auto* end = p + in.size();
    while ((p = skipAscii(p, end)) != end) {
        const Utf8Sequence sequence = utf8SequenceAt(p, end);
        if (sequence.valid) {
            ++good;
        } else {
            ++damaged;
            cutAtEnd = sequence.cut;
        }
        p += sequence.length;
    }
    if (damaged == 0 || (damaged == 1 && cutAtEnd)) {
        return true;
    }
    return good >= 4 * damaged;
}

// A file saved as UTF-16 without a byte-order mark: markup is ASCII, so one
// byte of most pairs is zero, always on the same side.
std::optional<bool> utf16WithoutMark(std::string_view in) {
    const std::size_t pairs = std::min(in.size(), kPrescanMinimum) / 2;
    if (pairs < 2) {
        return std::nullopt;
    }
    std::size_t evenZeros = 0;
    std::size_t oddZeros = 0;
    for (std::size_t i = 0; i < pairs; ++i) {
        evenZeros += in[2 * i] == 0 ? 1 : 0;
        oddZeros += in[2 * i + 1] == 0 ? 1 : 0;
    }
    if (evenZeros == 0 && oddZeros * 2 >= pairs) {
        return false; // little-endian
    }
    if (oddZeros == 0 && evenZeros * 2 >= pairs) {
        return true;
    }
    return std::nullopt;
}

// --- The <meta> prescan --------------------------------------------------

class Prescan {
  public:
    explicit Prescan(std::string_view bytes) : s_(bytes) {}

    std::string run() {
        while (pos_ < s_.size()) {
            if (pos_ >= kPrescanMinimum && bodyStarted_) {
                return {};
            }
            if (s_[pos_] != '<') {
                pos_ = std::min(s_.find('<', pos_), s_.size());
                continue;
            }
            if (startsWith("<!--")) {
                const std::size_t close = s_.find("-->", pos_ + 2);
                if (close == std::string_view::npos) {
                    return {};
                }
                pos_ = close + 3;
                continue;
            }
            if (startsWithTag("<meta")) {
                pos_ += 5;
                if (std::string found = meta(); !found.empty()) {
                    return found;
                }
            } else if (s_[pos_] == '<' && pos_ + 1 < s_.size() &&
                       (isAsciiAlpha(s_[pos_ + 1]) ||
                        (s_[pos_ + 1] == '/' && pos_ + 2 < s_.size() &&
                         isAsciiAlpha(s_[pos_ + 2])))) {
                const bool endTag = s_[pos_ + 1] == '/';
                pos_ += endTag ? 2 : 1;
                const std::size_t nameStart = pos_;
                while (pos_ < s_.size() && !isHtmlSpace(s_[pos_]) && s_[pos_] != '>') {
                    ++pos_;
                }
                bodyStarted_ =
                    bodyStarted_ || leavesHead(s_.substr(nameStart, pos_ - nameStart), endTag);
                std::string name;
                std::string value;
                while (attribute(name, value)) {
                }
            } else if (startsWith("<!") || startsWith("</") || startsWith("<?")) {
                const std::size_t close = s_.find('>', pos_ + 2);
                if (close == std::string_view::npos) {
                    return {};
                }
                pos_ = close;
            }
            ++pos_;
        }
        return {};
    }

  private:
    bool startsWith(std::string_view prefix) const {
        return s_.compare(pos_, prefix.size(), prefix) == 0;
    }

    // "<meta" in any case, followed by white space or a slash.
    bool startsWithTag(std::string_view prefix) const {
        if (s_.size() - pos_ <= prefix.size()) {
            return false;
        }
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            if (asciiLower(s_[pos_ + i]) != prefix[i]) {
                return false;
            }
        }
        const char next = s_[pos_ + prefix.size()];
        return isHtmlSpace(next) || next == '/';
    }

    static bool leavesHead(std::string_view rawName, bool endTag) {
        std::string name(rawName.substr(0, 16));
        std::transform(name.begin(), name.end(), name.begin(), asciiLower);
        if (endTag) {
            return name == "head";
        }
        static constexpr std::string_view kHeadTags[] = {
            "html",   "head",  "meta",     "title",    "link",     "base",
            "script", "style", "noscript", "template", "basefont", "bgsound",
        };
        return std::find(std::begin(kHeadTags), std::end(kHeadTags), name) == std::end(kHeadTags);
    }

    std::string meta() {
        std::vector<std::string> seen;
        bool gotPragma = false;
        enum class Need { Unset, Pragma, NoPragma } need = Need::Unset;
        std::string_view charset;
        std::string name;
        std::string value;
        while (attribute(name, value)) {
            if (std::find(seen.begin(), seen.end(), name) != seen.end()) {
                continue;
            }
            seen.push_back(name);
            if (name == "http-equiv") {
                gotPragma = gotPragma || value == "content-type";
            } else if (name == "content") {
                const std::string_view found = charsetFromContent(value);
                if (!found.empty() && charset.empty()) {
                    charset = found;
                    need = Need::Pragma;
                }
            } else if (name == "charset") {
                if (charset.empty()) {
                    charset = encodingForLabel(value);
                    need = Need::NoPragma;
                }
            }
        }
        if (need == Need::Unset || (need == Need::Pragma && !gotPragma) || charset.empty()) {
            return {};
        }
        return std::string(charset);
    }

    // The charset=... parameter of a Content-Type value, resolved to an encoding.
    static std::string_view charsetFromContent(std::string_view v) {
        std::size_t pos = 0;
        for (;;) {
            const std::size_t at = v.find("charset", pos);
            if (at == std::string_view::npos) {
                return {};
            }
            pos = at + 7;
            while (pos < v.size() && isHtmlSpace(v[pos])) {
                ++pos;
            }
            if (pos >= v.size() || v[pos] != '=') {
                continue;
            }
            ++pos;
            while (pos < v.size() && isHtmlSpace(v[pos])) {
                ++pos;
            }
            if (pos >= v.size()) {
                return {};
            }
            if (v[pos] == '"' || v[pos] == '\'') {
                const std::size_t close = v.find(v[pos], pos + 1);
                if (close == std::string_view::npos) {
                    return {};
                }
                return encodingForLabel(v.substr(pos + 1, close - pos - 1));
            }
            std::size_t stop = pos;
            while (stop < v.size() && !isHtmlSpace(v[stop]) && v[stop] != ';') {
                ++stop;
            }
            return encodingForLabel(v.substr(pos, stop - pos));
        }
    }

    // One attribute of the tag at pos_, lowercased; false at the tag's end.
    bool attribute(std::string& name, std::string& value) {
        name.clear();
        value.clear();
        while (pos_ < s_.size() && (isHtmlSpace(s_[pos_]) || s_[pos_] == '/')) {
            ++pos_;
        }
        if (pos_ >= s_.size() || s_[pos_] == '>') {
            return false;
        }
        for (;; ++pos_) {
            if (pos_ >= s_.size()) {
                return false;
            }
            const char c = s_[pos_];
            if (c == '=' && !name.empty()) {
                ++pos_;
                return attributeValue(value);
            }
            if (isHtmlSpace(c)) {
                break;
            }
            if (c == '/' || c == '>') {
                return true;
            }
            name += asciiLower(c);
        }
        while (pos_ < s_.size() && isHtmlSpace(s_[pos_])) {
            ++pos_;
        }
        if (pos_ >= s_.size()) {
            return false;
        }
        if (s_[pos_] != '=') {
            return true;
        }
        ++pos_;
        return attributeValue(value);
    }

    bool attributeValue(std::string& value) {
        while (pos_ < s_.size() && isHtmlSpace(s_[pos_])) {
            ++pos_;
        }
        if (pos_ >= s_.size()) {
            return false;
        }
        const char first = s_[pos_];
        if (first == '"' || first == '\'') {
            for (++pos_; pos_ < s_.size(); ++pos_) {
                if (s_[pos_] == first) {
                    ++pos_;
                    return true;
                }
                value += asciiLower(s_[pos_]);
            }
            return false;
        }
        if (first == '>') {
            return true;
        }
        for (; pos_ < s_.size(); ++pos_) {
            if (isHtmlSpace(s_[pos_]) || s_[pos_] == '>') {
                return true;
            }
            value += asciiLower(s_[pos_]);
        }
        return false;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    bool bodyStarted_ = false;
};

} // namespace

std::string declaredHtmlCharset(std::string_view bytes) {
    return Prescan(bytes).run();
}

// Input decoded per piece: small enough to stay in cache, large enough that
// the calls cost nothing.
constexpr std::size_t kPieceSize = std::size_t{64} * 1024;
// A UTF-8 document is handed over as it is, in larger pieces.
constexpr std::size_t kUtf8PieceSize = std::size_t{1024} * 1024;

HtmlDecoder::HtmlDecoder(std::string_view bytes) : rest_(bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        rest_.remove_prefix(3);
        return;
    }
    if (bytes.substr(0, 2) == "\xFF\xFE" || bytes.substr(0, 2) == "\xFE\xFF") {
        kind_ = bytes[0] == '\xFE' ? Kind::Utf16Be : Kind::Utf16Le;
        rest_.remove_prefix(2);
        return;
    }
    if (const std::optional<bool> bigEndian = utf16WithoutMark(bytes)) {
        kind_ = *bigEndian ? Kind::Utf16Be : Kind::Utf16Le;
        return;
    }
    const std::string declared = declaredHtmlCharset(bytes);
    if (declared == kUtf8) {
        return;
    }
    if (declared == kWindows1252) {
        kind_ = Kind::Windows1252;
        return;
    }
    if (!declared.empty()) {
        LegacyDecoder decoder(declared);
        if (decoder.valid()) {
            kind_ = Kind::Legacy;
            legacy_.emplace(std::move(decoder));
            return;
        }
    }
    kind_ = looksLikeUtf8(bytes) ? Kind::Utf8 : Kind::Windows1252;
}

std::string_view HtmlDecoder::next() {
    if (kind_ == Kind::Utf8) {
        const std::string_view piece = rest_.substr(0, kUtf8PieceSize);
        rest_.remove_prefix(piece.size());
        return piece;
    }
    buffer_.clear();
    if (rest_.empty()) {
        return buffer_;
    }
    std::string_view piece = rest_.substr(0, kPieceSize);
    const bool last = piece.size() == rest_.size();
    switch (kind_) {
    case Kind::Utf16Le:
    case Kind::Utf16Be: {
        const bool bigEndian = kind_ == Kind::Utf16Be;
        if (!last) {
            // Whole units, and a surrogate pair kept together.
            const auto high = static_cast<unsigned char>(piece[piece.size() - (bigEndian ? 2 : 1)]);
            piece.remove_suffix((high >= 0xD8 && high <= 0xDB) ? 2 : 0);
        }
        buffer_ = utf8FromUtf16Bytes(piece, bigEndian);
        break;
    }
    case Kind::Windows1252:
        for (const char ch : piece) {
            const auto byte = static_cast<unsigned char>(ch);
            if (byte < 0x80) {
                buffer_ += ch;
            } else {
                appendUtf8(buffer_, byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte);
            }
        }
        break;
    default:
        if (last) {
            legacy_->appendUtf8(piece, buffer_);
        } else {
            piece = piece.substr(0, legacy_->appendUtf8Part(piece, buffer_));
            if (piece.empty()) { // one character longer than a piece: not a character
                piece = rest_.substr(0, 1);
                buffer_ += kReplacement;
            }
        }
        break;
    }
    rest_.remove_prefix(piece.size());
    return buffer_;
}

} // namespace vantrel::extractor
