// What both readers need from Foundation: the file URL to open and NSString
// text as UTF-8. Objective-C++ only.
#pragma once

#import <Foundation/Foundation.h>

#include "SpecialFile.h"
#include "text/Utf16Text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::extractor {

// Every character of the text, U+0000 included (UTF8String would stop there).
inline std::string utf8Text(NSString* text) {
    std::vector<unichar> units(text.length);
    [text getCharacters:units.data() range:NSMakeRange(0, units.size())];
    return utf8FromUtf16(units.data(), units.size());
}

// The file URL a document reader opens for `path`, or nil for a FIFO, socket or
// device, which would hold the reader for ever, and for bytes that are no name
// in the file-system encoding: Foundation gives no string for those, and a
// file URL made from nil raises instead of failing.
inline NSURL* documentURL(const std::string& path) {
    if (path.empty() || isSpecialFile(path)) {
        return nil;
    }
    NSString* filePath =
        [[NSFileManager defaultManager] stringWithFileSystemRepresentation:path.c_str()
                                                                    length:path.size()];
    if (filePath == nil || filePath.length == 0) {
        return nil;
    }
    return [NSURL fileURLWithPath:filePath];
}

} // namespace vantrel::extractor
