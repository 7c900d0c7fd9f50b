#include "RichText.h"

#include "FileContent.h"
#include "html/HtmlText.h"
#include "rtf/RtfText.h"

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
    if (beforeParsing != nullptr) {
        beforeParsing();
    }
    return looksLikeRtf(content->bytes()) ? rtfToText(content->bytes())
                                          : htmlToText(content->bytes());
}

} // namespace vantrel::extractor
