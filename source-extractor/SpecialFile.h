#pragma once

#include <string>

namespace vantrel::extractor {

// True when the path (links followed) names a FIFO, socket or device: opening
// or reading one can block for ever or never end, so the readers refuse it.
// False for regular files and directories, and when the path cannot be looked
// at, which the platform reader then reports itself.
bool isSpecialFile(const std::string& path);

} // namespace vantrel::extractor
