#include "PdfPages.h"

#include "BlankText.h"

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

} // namespace vantrel::extractor
