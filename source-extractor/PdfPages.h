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

} // namespace vantrel::extractor
