// What any text a reader gives back must look like, whatever the input: shared
// by the readers' tests and their fuzz targets.
#pragma once

#include "text/Utf8.h"

#include <string_view>

namespace vantrel::extractor::test {

// Shortest-form UTF-8 of Unicode scalar values: no surrogates, nothing past U+10FFFF.
using vantrel::extractor::isValidUtf8;

// The HTML reader's ending: nothing at all, or text that ends in exactly one
// line end with no white space before it.
inline bool endsInOneCleanLineEnd(std::string_view s) {
    if (s.empty()) {
        return true;
    }
    if (s.size() == 1 || s.back() != '\n') {
        return false; // a text of nothing but a line end should have been empty
    }
    const char before = s[s.size() - 2];
    return before != '\n' && before != ' ' && before != '\t';
}

} // namespace vantrel::extractor::test
