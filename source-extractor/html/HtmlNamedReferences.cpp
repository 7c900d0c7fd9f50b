#include "html/HtmlNamedReferences.h"

#include <algorithm>

namespace vantrel::extractor::html {

NamedReferenceMatch::NamedReferenceMatch() : candidates_(namedReferences()) {}

bool NamedReferenceMatch::extend(char c) {
    // Every candidate shares the first length_ characters, and the names
    // that equal the prefix sort first, so the ones whose next character is
    // c form one run.
    const std::size_t at = length_;
    const auto before = [at](const NamedReference& r, char ch) {
        return r.name().size() <= at || r.name()[at] < ch;
    };
    const auto after = [at](char ch, const NamedReference& r) {
        return r.name().size() > at && ch < r.name()[at];
    };
    const auto first = std::lower_bound(candidates_.begin(), candidates_.end(), c, before);
    const auto last = std::upper_bound(first, candidates_.end(), c, after);
    if (first == last) {
        return false;
    }
    candidates_ = std::span<const NamedReference>(first, last);
    length_ = at + 1;
    if (first->name().size() == length_) {
        longest_ = &*first;
    }
    return true;
}

} // namespace vantrel::extractor::html
