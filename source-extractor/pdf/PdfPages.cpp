#include "pdf/PdfPages.h"

#include "text/BlankText.h"

namespace vantrel::extractor {

std::string joinPageTexts(int pageCount,
                          const std::function<std::optional<std::string>(int)>& pageText) {
    std::string joined;
    bool first = true;
    for (int index = 0; index < pageCount; ++index) {
        const auto text = pageText(index);
        if (!text || isBlank(*text)) {
            continue;
        }
        if (!first) {
            joined += "\n\n";
        }
        joined += *text;
        first = false;
    }
    return joined;
}

std::string withoutLayoutEnding(std::string text) {
    if (!text.empty() && text.back() == '\f') {
        text.pop_back();
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

} // namespace vantrel::extractor
