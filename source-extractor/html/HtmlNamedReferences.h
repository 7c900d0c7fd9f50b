// The HTML named character references and the incremental longest match that
// the tokenizer runs over them, one character at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vantrel::extractor::html {

// All names and texts, one after the other. The table holds offsets into them
// rather than pointers, which the loader would have to relocate at every start.
extern const char namedReferenceCharacters[];

struct NamedReference {
    std::uint16_t nameStart;
    std::uint8_t nameSize;
    std::uint8_t textSize; // the text follows the name
    // Without the ampersand; with the semicolon where it has one.
    std::string_view name() const { return {namedReferenceCharacters + nameStart, nameSize}; }
    // What it stands for, in UTF-8.
    std::string_view text() const {
        return {namedReferenceCharacters + nameStart + nameSize, textSize};
    }
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
