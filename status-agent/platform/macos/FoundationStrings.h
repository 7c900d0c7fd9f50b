// Conversions between the core's UTF-8 std::string and NSString. Objective-C++
// only: included by the backend's .mm files, never by the core.
#pragma once

#import <Foundation/Foundation.h>

#include <string>

namespace vantrel::platform::macos {

// Nil when the bytes are not valid UTF-8, so a caller can refuse rather than
// pass on a mangled text.
inline NSString* _Nullable toNSString(const std::string& utf8) {
    return [[NSString alloc] initWithBytes:utf8.data()
                                    length:utf8.size()
                                  encoding:NSUTF8StringEncoding];
}

// Every character, embedded U+0000 included (UTF8String would stop there).
// A string that cannot be encoded (a lone surrogate) gives nothing.
inline bool toStdString(NSString* _Nullable text, std::string& out) {
    NSData* data = [text dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:NO];
    if (data == nil) {
        return false;
    }
    out.assign(static_cast<const char*>(data.bytes), data.length);
    return true;
}

} // namespace vantrel::platform::macos
