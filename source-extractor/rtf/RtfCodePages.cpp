#include "rtf/RtfCodePages.h"

#include "text/Utf8.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace vantrel::extractor::rtf {

namespace {

// Adobe's Symbol encoding from 0x20 on; 0 marks an unassigned byte. The
// glyph-piece bytes map to the Unicode bracket pieces.
constexpr std::array<char16_t, 224> kSymbolTable = {
    // 0x20
    0x0020, 0x0021, 0x2200, 0x0023, 0x2203, 0x0025, 0x0026, 0x220B, 0x0028, 0x0029, 0x2217, 0x002B,
    0x002C, 0x2212, 0x002E, 0x002F,
    // 0x30
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B,
    0x003C, 0x003D, 0x003E, 0x003F,
    // 0x40
    0x2245, 0x0391, 0x0392, 0x03A7, 0x0394, 0x0395, 0x03A6, 0x0393, 0x0397, 0x0399, 0x03D1, 0x039A,
    0x039B, 0x039C, 0x039D, 0x039F,
    // 0x50
    0x03A0, 0x0398, 0x03A1, 0x03A3, 0x03A4, 0x03A5, 0x03C2, 0x03A9, 0x039E, 0x03A8, 0x0396, 0x005B,
    0x2234, 0x005D, 0x22A5, 0x005F,
    // 0x60
    0x203E, 0x03B1, 0x03B2, 0x03C7, 0x03B4, 0x03B5, 0x03C6, 0x03B3, 0x03B7, 0x03B9, 0x03D5, 0x03BA,
    0x03BB, 0x03BC, 0x03BD, 0x03BF,
    // 0x70
    0x03C0, 0x03B8, 0x03C1, 0x03C3, 0x03C4, 0x03C5, 0x03D6, 0x03C9, 0x03BE, 0x03C8, 0x03B6, 0x007B,
    0x007C, 0x007D, 0x223C, 0,
    // 0x80
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0x90
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    // 0xA0
    0x20AC, 0x03D2, 0x2032, 0x2264, 0x2044, 0x221E, 0x0192, 0x2663, 0x2666, 0x2665, 0x2660, 0x2194,
    0x2190, 0x2191, 0x2192, 0x2193,
    // 0xB0
    0x00B0, 0x00B1, 0x2033, 0x2265, 0x00D7, 0x221D, 0x2202, 0x2022, 0x00F7, 0x2260, 0x2261, 0x2248,
    0x2026, 0x23D0, 0x23AF, 0x21B5,
    // 0xC0
    0x2135, 0x2111, 0x211C, 0x2118, 0x2297, 0x2295, 0x2205, 0x2229, 0x222A, 0x2283, 0x2287, 0x2284,
    0x2282, 0x2286, 0x2208, 0x2209,
    // 0xD0
    0x2220, 0x2207, 0x00AE, 0x00A9, 0x2122, 0x220F, 0x221A, 0x22C5, 0x00AC, 0x2227, 0x2228, 0x21D4,
    0x21D0, 0x21D1, 0x21D2, 0x21D3,
    // 0xE0
    0x25CA, 0x27E8, 0x00AE, 0x00A9, 0x2122, 0x2211, 0x239B, 0x239C, 0x239D, 0x23A1, 0x23A2, 0x23A3,
    0x23A7, 0x23A8, 0x23A9, 0x23AA,
    // 0xF0
    0, 0x27E9, 0x222B, 0x2320, 0x23AE, 0x2321, 0x239E, 0x239F, 0x23A0, 0x23A4, 0x23A5, 0x23A6,
    0x23AB, 0x23AC, 0x23AD, 0};

// The iconv name of a Windows or Mac code page; "CPnnn" serves most.
std::string iconvName(int codePage) {
    switch (codePage) {
    case 65001:
        return "UTF-8";
    case 10000:
        return "MACINTOSH";
    case 10001:
        return "SJIS";
    case 10002:
        return "BIG5";
    case 10003:
        return "EUC-KR";
    case 10007:
        return "MAC-CYRILLIC";
    case 10008:
        return "EUC-CN";
    case 10029:
        return "MAC-CENTRALEUROPE";
    case 20866:
        return "KOI8-R";
    case 21866:
        return "KOI8-U";
    case 1361:
        return "JOHAB";
    default:
        break;
    }
    if (codePage >= 28591 && codePage <= 28599) {
        return "ISO-8859-" + std::to_string(codePage - 28590);
    }
    if (codePage == 28603 || codePage == 28605) {
        return "ISO-8859-" + std::to_string(codePage - 28590);
    }
    return "CP" + std::to_string(codePage);
}

} // namespace

int codePageForCharset(int charset) {
    switch (charset) {
    case 2:
        return kSymbolCodePage;
    case 77:
        return 10000;
    case 78:
        return 10001;
    case 79:
        return 10003;
    case 80:
        return 10008;
    case 81:
        return 10002;
    case 89:
        return 10007;
    case 128:
        return 932;
    case 129:
        return 949;
    case 130:
        return 1361;
    case 134:
        return 936;
    case 136:
        return 950;
    case 161:
        return 1253;
    case 162:
        return 1254;
    case 163:
        return 1258;
    case 177:
        return 1255;
    case 178:
        return 1256;
    case 186:
        return 1257;
    case 204:
        return 1251;
    case 222:
        return 874;
    case 238:
        return 1250;
    case 254:
    case 255:
        return 437;
    default:
        return 0;
    }
}

int codePageForFontName(std::string_view name) {
    static constexpr std::pair<std::string_view, int> kSuffixes[] = {
        {"cyr", 1251},    {"ce", 1250},       {"greek", 1253},    {"tur", 1254},
        {"baltic", 1257}, {"(hebrew)", 1255}, {"(arabic)", 1256},
    };
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    const std::string_view last = name.substr(name.rfind(' ') + 1);
    for (const auto& [suffix, codePage] : kSuffixes) {
        if (last.size() == suffix.size() && last.size() < name.size() &&
            std::equal(last.begin(), last.end(), suffix.begin(),
                       [](char a, char b) { return (a | 0x20) == b; })) {
            return codePage;
        }
    }
    return 0;
}

char32_t symbolToUnicode(unsigned char byte) {
    return byte < 0x20 ? 0 : kSymbolTable[byte - 0x20];
}

CodePageDecoder::Converter& CodePageDecoder::converterFor(int codePage) {
    for (Converter& c : converters_) {
        if (c.codePage == codePage) {
            return c;
        }
    }
    LegacyDecoder decoder(iconvName(codePage));
    if (!decoder.valid()) {
        // An unknown code page reads as the common Western one; keeping that
        // choice saves a failing open for every run of bytes.
        decoder = LegacyDecoder(iconvName(kDefaultCodePage));
    }
    converters_.push_back({codePage, std::move(decoder), 0, std::nullopt});
    return converters_.back();
}

std::string_view CodePageDecoder::decode(int codePage, std::string_view bytes) {
    std::string& out = decoded_;
    out.clear();
    if (codePage == kSymbolCodePage) {
        for (char b : bytes) {
            char32_t cp = symbolToUnicode(static_cast<unsigned char>(b));
            if (cp != 0) {
                appendUtf8(out, cp);
            } else if (static_cast<unsigned char>(b) >= 0x20) {
                appendUtf8(out, kReplacementCharacter);
            }
        }
        return out;
    }
    Converter& converter = converterFor(codePage);
    if (!converter.decoder.valid()) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            appendUtf8(out, kReplacementCharacter);
        }
        return out;
    }
    constexpr int kRunsBeforeTable = 8; // not worth a table for the odd escape
    if (converter.runs <= kRunsBeforeTable && ++converter.runs > kRunsBeforeTable &&
        !isDoubleByteCodePage(codePage) && codePage != 65001) {
        converter.table = converter.decoder.singleByteTable();
    }
    if (converter.table) {
        out.resize(bytes.size() * 4);
        char* dst = out.data();
        for (char b : bytes) {
            const std::array<char, 4>& entry = (*converter.table)[static_cast<unsigned char>(b)];
            std::memcpy(dst, entry.data(), entry.size());
            dst += entry[3];
        }
        out.resize(static_cast<size_t>(dst - out.data()));
        return out;
    }
    converter.decoder.appendUtf8(bytes, out);
    return out;
}

} // namespace vantrel::extractor::rtf
