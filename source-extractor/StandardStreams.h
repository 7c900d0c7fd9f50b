#pragma once

#include <string_view>

namespace vantrel::extractor {

// Writes all of `data` to the descriptor, across partial writes and EINTR.
// False when the write fails or stops short (a closed pipe, a full disk).
bool writeAll(int fd, std::string_view data);

} // namespace vantrel::extractor
