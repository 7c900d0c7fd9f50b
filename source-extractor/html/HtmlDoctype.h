// What a DOCTYPE says about the page: only whether it asks for quirks mode,
// which decides whether a table closes an open paragraph.
#pragma once

#include "html/HtmlTokens.h"

namespace vantrel::extractor::html {

bool doctypeMeansQuirks(const Doctype& doctype);

} // namespace vantrel::extractor::html
