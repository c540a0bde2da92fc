// GNUstep's Foundation, plus what Apple's has and GNUstep's lacks, with
// Apple's signatures; and the deprecated Apple APIs made unusable. The checks
// on Linux compile with NO_GNUSTEP, so GNUstep's own additions are hidden too:
// what compiles here is what a Mac's SDK declares.
#pragma once

#include_next <Foundation/Foundation.h>

@interface NSFileManager (AppleOnly)
- (NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier;
@property(readonly, copy) NSURL* homeDirectoryForCurrentUser;
@end

typedef NS_OPTIONS(NSUInteger, NSURLBookmarkCreationOptions) {
  NSURLBookmarkCreationWithSecurityScope = 1 << 11,
};

@interface NSURL (AppleOnly)
- (NSData*)bookmarkDataWithOptions:(NSURLBookmarkCreationOptions)options
    includingResourceValuesForKeys:(NSArray<NSString*>*)keys
                     relativeToURL:(NSURL*)relativeURL
                             error:(NSError**)error;
- (BOOL)startAccessingSecurityScopedResource;
- (void)stopAccessingSecurityScopedResource;
@end

// Deprecated by Apple, still declared by GNUstep without a mark, so a
// deprecation attribute could not be added to them: any use is an error.
// NSFileManager's path methods (use the URL or error: forms) and NSString's
// C strings without an encoding.
#pragma GCC poison fileAttributesAtPath changeFileAttributes directoryContentsAtPath
#pragma GCC poison removeFileAtPath movePath copyPath linkPath
#pragma GCC poison lossyCString cStringLength
