// The HTML named character references and the incremental longest match that
// the tokenizer runs over them, one character at a time.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace vantrel::extractor::html {

struct NamedReference {
    std::string_view name; // without the ampersand; with the semicolon where it has one
    std::string_view text; // what it stands for, in UTF-8
};

// The whole table, sorted bytewise by name.
std::span<const NamedReference> namedReferences();

// The names that start with the characters given so far: a range of the
// sorted table that each character narrows by binary search.
class NamedReferenceMatch {
  public:
    NamedReferenceMatch();
    // Adds c to the prefix; false, leaving the match unchanged, when no name
    // starts with the longer prefix.
    bool extend(char c);
    // The longest name equal to a prefix given so far, or null.
    const NamedReference* longest() const { return longest_; }
    std::size_t length() const { return length_; }

  private:
    std::span<const NamedReference> candidates_;
    std::size_t length_ = 0;
    const NamedReference* longest_ = nullptr;
};

} // namespace vantrel::extractor::html
