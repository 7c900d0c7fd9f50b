#include "HtmlParserGuards.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace vantrel::extractor {
namespace {

bool isParserBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isNameChar(char c) {
    return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == ':' || c == '-' || c == '_' ||
           c == '.';
}

bool startsWithNoCase(std::string_view text, std::size_t at, std::string_view lowerPrefix) {
    if (text.size() - at < lowerPrefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        char c = text[at + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lowerPrefix[i]) {
            return false;
        }
    }
    return true;
}

// After the start tag `name` ending at i: where markup resumes. Script and
// style hold raw text up to their end tag, as the parser reads them.
std::size_t skipRawText(std::string_view s, std::size_t i, std::string_view name) {
    const bool script = name.size() == 6 && startsWithNoCase(name, 0, "script");
    const bool style = name.size() == 5 && startsWithNoCase(name, 0, "style");
    if (!script && !style) {
        return i;
    }
    const std::string_view closing = script ? "</script" : "</style";
    std::size_t at = s.find("</", i);
    while (at != std::string_view::npos && !startsWithNoCase(s, at, closing)) {
        at = s.find("</", at + 2);
    }
    return at == std::string_view::npos ? s.size() : at;
}

} // namespace

void capAttributes(std::string& html) {
    const std::string_view s = html;
    const std::size_t n = s.size();
    std::vector<std::pair<std::size_t, std::size_t>> cuts;
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < n && isParserBlank(s[i])) {
            ++i;
        }
    };
    while (i < n) {
        const std::size_t lt = s.find('<', i);
        if (lt == std::string_view::npos) {
            break;
        }
        i = lt + 1;
        if (s.compare(lt, 4, "<!--") == 0) {
            const std::size_t close = s.find("-->", lt + 4);
            i = close == std::string_view::npos ? n : close + 3;
            continue;
        }
        if (i >= n || !isAsciiLetter(s[i])) {
            continue;
        }
        const std::size_t nameStart = i;
        while (i < n && isNameChar(s[i])) {
            ++i;
        }
        const std::string_view name = s.substr(nameStart, i - nameStart);
        std::size_t count = 0;
        std::size_t cutFrom = 0;
        skipBlanks();
        while (i < n && s[i] != '>' && !(s[i] == '/' && i + 1 < n && s[i + 1] == '>')) {
            const std::size_t attributeStart = i;
            if (isAsciiLetter(s[i]) || s[i] == '_' || s[i] == ':' || s[i] == '.') {
                for (std::size_t length = 0; i < n && length < 100 && isNameChar(s[i]); ++length) {
                    ++i;
                }
                skipBlanks();
                if (i < n && s[i] == '=') {
                    ++i;
                    skipBlanks();
                    if (i < n && (s[i] == '"' || s[i] == '\'')) {
                        const std::size_t close = s.find(s[i], i + 1);
                        i = close == std::string_view::npos ? n : close + 1;
                    } else {
                        while (i < n && !isParserBlank(s[i]) && s[i] != '>') {
                            ++i;
                        }
                    }
                }
                if (++count == kMaxAttributes + 1) {
                    cutFrom = attributeStart;
                }
            } else {
                while (i < n && !isParserBlank(s[i]) && s[i] != '>' &&
                       !(s[i] == '/' && i + 1 < n && s[i + 1] == '>')) {
                    ++i;
                }
            }
            skipBlanks();
        }
        if (cutFrom != 0) {
            cuts.emplace_back(cutFrom, i);
        }
        if (i >= n || s[i] != '/') {
            i = skipRawText(s, i, name);
        }
    }
    if (cuts.empty()) {
        return;
    }
    std::string kept;
    kept.reserve(n);
    std::size_t from = 0;
    for (const auto& [cutStart, cutEnd] : cuts) {
        kept.append(s.substr(from, cutStart - from));
        from = cutEnd;
    }
    kept.append(s.substr(from));
    html.swap(kept);
}

bool mustRestart(std::string_view tag, int parserDepth, std::size_t openElements) {
    return tag != "script" && tag != "style" &&
           (parserDepth > kMaxDepth || openElements > 4 * static_cast<std::size_t>(kMaxDepth));
}

std::size_t restartOffset(std::string_view utf8, std::size_t stoppedAt) {
    std::size_t at = std::min(stoppedAt, utf8.size());
    if (utf8.compare(at, 2, "/>") == 0) {
        at += 2;
    } else if (utf8.compare(at, 1, ">") == 0) {
        at += 1;
    }
    while (utf8.compare(at, 3, "\xEF\xBB\xBF") == 0) {
        at += 3;
    }
    return at;
}

} // namespace vantrel::extractor
