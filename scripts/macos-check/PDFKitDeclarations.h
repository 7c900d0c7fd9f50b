// The few PDFKit members that the extractor calls, declared as Apple's public
// PDFKit API declares them. Only scripts/check-macos uses this file: the macOS
// SDK headers available for that check do not include PDFKit. A build on a Mac
// uses the real framework and never sees this file.
#pragma once

#import <AppKit/AppKit.h>

NS_ASSUME_NONNULL_BEGIN

@class PDFPage;

@interface PDFDocument : NSObject <NSCopying>
- (instancetype)init NS_DESIGNATED_INITIALIZER;
- (nullable instancetype)initWithURL:(NSURL*)url NS_DESIGNATED_INITIALIZER;
@property(nonatomic, readonly) NSUInteger pageCount;
- (nullable PDFPage*)pageAtIndex:(NSUInteger)index;
@end

@interface PDFPage : NSObject <NSCopying>
- (instancetype)init NS_DESIGNATED_INITIALIZER;
@property(nonatomic, readonly, nullable) NSString* string;
@end

NS_ASSUME_NONNULL_END
