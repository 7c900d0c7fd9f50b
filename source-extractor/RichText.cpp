#include "RichText.h"

#include "EngineModules.h"
#include "FileContent.h"
#include "RtfText.h"

#include <string_view>

namespace vantrel::extractor {
namespace {

bool looksLikeRtf(std::string_view content) {
    const auto start = content.find_first_not_of(" \t\r\n\f\v");
    return start != std::string_view::npos && content.substr(start).starts_with("{\\rtf");
}

} // namespace

std::optional<std::string> readRichText(const std::string& path, void (*beforeParsing)()) {
    const auto content = FileContent::read(path);
    if (!content) {
        return std::nullopt;
    }
    const bool rtf = looksLikeRtf(content->bytes());
    const VantrelHtmlToText convert = rtf ? nullptr : loadHtmlEngine();
    if (!rtf && convert == nullptr) {
        return std::nullopt;
    }
    if (beforeParsing != nullptr) {
        beforeParsing();
    }
    return rtf ? rtfToText(content->bytes()) : htmlEngineToText(convert, content->bytes());
}

} // namespace vantrel::extractor
