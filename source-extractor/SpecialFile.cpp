#include "SpecialFile.h"

#include <sys/stat.h>

namespace vantrel::extractor {

bool isSpecialFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    return !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

} // namespace vantrel::extractor
