#pragma once

#include <functional>
#include <optional>
#include <string>

namespace vantrel::extractor {

// Joins the texts of a document's pages in page order with "\n\n" between
// neighbours. A page for which `pageText` gives nothing, or a blank text, is
// skipped without a trace; kept texts are not trimmed.
std::string joinPageTexts(int pageCount,
                          const std::function<std::optional<std::string>(int)>& pageText);

// A page's text as the layout gives it, less what the layout adds after the
// page's last block: the closing form feed and the line feeds before it.
std::string withoutLayoutEnding(std::string text);

} // namespace vantrel::extractor
