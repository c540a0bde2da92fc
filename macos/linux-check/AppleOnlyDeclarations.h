// Declarations of the Apple-only APIs that GNUstep lacks, with Apple's
// signatures, so that the macOS sources compile on Linux with every call
// checked. Used only by the Linux compile check (force-included there); the
// macOS build never sees it. Declarations only: nothing here runs.
#pragma once

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

typedef NS_ENUM(NSUInteger, FIMenuKind) {
  FIMenuKindContextualMenuForItems = 0,
  FIMenuKindContextualMenuForContainer = 1,
  FIMenuKindContextualMenuForSidebar = 2,
  FIMenuKindToolbarItemMenu = 3,
};

@interface FIFinderSyncController : NSExtensionContext
+ (FIFinderSyncController*)defaultController;
@property(copy) NSSet<NSURL*>* directoryURLs;
- (NSArray<NSURL*>*)selectedItemURLs;
- (NSURL*)targetedURL;
@end

@interface FIFinderSync : NSObject
@end

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

@interface NSWorkspaceOpenConfiguration : NSObject
+ (instancetype)configuration;
@property BOOL activates;
@end

@interface NSWorkspace (AppleOnly)
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^)(NSRunningApplication* app, NSError* error))completionHandler;
@end

@interface NSImage (AppleOnly)
- (void)setTemplate:(BOOL)isTemplate;
@end
