#pragma once

#include <string_view>

namespace vantrel::extractor {

// Writes all of `data` to the descriptor, across partial writes and EINTR.
// False when the write fails or stops short (a closed pipe, a full disk).
bool writeAll(int fd, std::string_view data);

// Engines and frameworks print their own diagnostics on descriptor 2, whose
// caller expects exactly one fixed message there. Points descriptor 2 at the
// null device and returns a close-on-exec copy of the original standard error
// for the messages; returns 2 itself, with nothing changed, when that fails.
int setStandardErrorAside();

} // namespace vantrel::extractor
