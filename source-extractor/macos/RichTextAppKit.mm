// The RTF and HTML reader on AppKit's attributed-string document reading: the
// platform reader decides the format from the document itself.
#import <AppKit/AppKit.h>

#include "RichText.h"
#include "macos/FoundationText.h"

namespace vantrel::extractor {

std::optional<std::string> readRichText(const std::string& path, void (*beforeParsing)()) {
    if (beforeParsing != nullptr) {
        beforeParsing();
    }
    @autoreleasepool {
        NSURL* url = documentURL(path);
        if (url == nil) {
            return std::nullopt;
        }
        // No options: no document type and no encoding are imposed. The error
        // is not shown; a nil result is the failure.
        NSError* error = nil;
        NSAttributedString* document = [[NSAttributedString alloc] initWithURL:url
                                                                       options:@{}
                                                            documentAttributes:nil
                                                                         error:&error];
        if (document == nil) {
            return std::nullopt;
        }
        return utf8Text(document.string);
    }
}

} // namespace vantrel::extractor
