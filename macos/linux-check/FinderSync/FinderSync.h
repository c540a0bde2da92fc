// The FinderSync framework as Apple declares it, for the checks on Linux,
// which has no such framework. Like Apple's, it brings Foundation only: a
// file that uses AppKit must import it itself.
#pragma once

#import <Foundation/Foundation.h>

@class NSImage;
@class NSMenu;

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

@protocol FIFinderSyncProtocol
@optional
- (NSMenu*)menuForMenuKind:(FIMenuKind)menuKind;
- (void)beginObservingDirectoryAtURL:(NSURL*)url;
- (void)endObservingDirectoryAtURL:(NSURL*)url;
@property(copy, readonly) NSString* toolbarItemName;
@property(copy, readonly) NSImage* toolbarItemImage;
@property(copy, readonly) NSString* toolbarItemToolTip;
@end

@interface FIFinderSync : NSObject <FIFinderSyncProtocol>
@end
