#pragma once

#include <string>
#include <string_view>

namespace vantrel::extractor {

// The lower-cased extension of a path's last component: the text after its
// last full stop. Empty when the component has no full stop, ends in one, or
// holds only a leading one (".pdf" is a hidden file's name, not an extension).
// Trailing slashes are ignored, as a file URL made from the path would.
std::string lowercasedPathExtension(std::string_view path);

} // namespace vantrel::extractor
