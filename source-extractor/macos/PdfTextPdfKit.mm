// The PDF reader on PDFKit. Every PDFKit call of the extractor is in this file.
#import <Foundation/Foundation.h>
#import <PDFKit/PDFKit.h>

#include "macos/FoundationText.h"
#include "pdf/PdfPages.h"
#include "pdf/PdfText.h"

#include <climits>

namespace vantrel::extractor {

std::optional<std::string> readPDFText(const std::string& path, void (*beforeParsing)()) {
    if (beforeParsing != nullptr) {
        beforeParsing();
    }
    @autoreleasepool {
        NSURL* url = documentURL(path);
        PDFDocument* document = url == nil ? nil : [[PDFDocument alloc] initWithURL:url];
        if (document == nil) {
            return std::nullopt;
        }
        // PDFKit opens an encrypted document locked unless the empty password
        // opens it; a locked one gives no page text, so it is unreadable here
        // rather than empty.
        if (document.isLocked && ![document unlockWithPassword:@""]) {
            return std::nullopt;
        }
        // Read once; no real document comes near the limit of an int.
        const NSUInteger pageCount = document.pageCount;
        const int pages = pageCount > INT_MAX ? INT_MAX : static_cast<int>(pageCount);
        return joinPageTexts(pages, [document](int index) -> std::optional<std::string> {
            // The page's objects are released page by page, not at the end.
            @autoreleasepool {
                PDFPage* page = [document pageAtIndex:static_cast<NSUInteger>(index)];
                NSString* text = page.string;
                if (text == nil) {
                    return std::nullopt;
                }
                return utf8Text(text);
            }
        });
    }
}

} // namespace vantrel::extractor
