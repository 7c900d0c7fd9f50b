// NSString to UTF-8 for the readers. Objective-C++ only.
#pragma once

#import <Foundation/Foundation.h>

#include "macos/Utf16Text.h"

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

} // namespace vantrel::extractor
