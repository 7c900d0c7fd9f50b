// The platform's JSON parser with its default reading options.
#import <Foundation/Foundation.h>

#include "platform/Platform.h"
#include "platform/macos/FoundationStrings.h"

namespace vantrel::platform::macos {

std::optional<std::string> jsonTopLevelStringMember(std::string_view json, std::string_view key) {
    // May run on any thread, including ones without a pool of their own.
    @autoreleasepool {
        NSData* data = [NSData dataWithBytes:json.data() length:json.size()];
        // A parse error is only a "no": its details are not wanted.
        id topLevel = [NSJSONSerialization JSONObjectWithData:data options:0 error:nil];
        if (![topLevel isKindOfClass:[NSDictionary class]]) {
            return std::nullopt;
        }
        NSString* name = toNSString(std::string(key));
        id value = name != nil ? static_cast<NSDictionary*>(topLevel)[name] : nil;
        if (![value isKindOfClass:[NSString class]]) {
            return std::nullopt;
        }
        std::string text;
        if (!toStdString(static_cast<NSString*>(value), text)) {
            return std::nullopt;
        }
        return text;
    }
}

} // namespace vantrel::platform::macos
