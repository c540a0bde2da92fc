// The extension's principal class, as its Info.plist names it
// (NSExtensionPrincipalClass): the Finder creates it and talks to the
// extension only through it. It forwards every call to the portable core.
#pragma once

// Apple's FinderSync.h brings Foundation only; NSMenu and IBAction are AppKit's.
#import <AppKit/AppKit.h>
#import <FinderSync/FinderSync.h>

// The Apple services and the core object built on them (FinderSync.mm).
struct TarvineExtension;

// No toolbar item: the design gives the toolbar no menu (the core's menu for
// that kind is empty) and no image, and the Finder shows an item only with
// both a name and an image. The optional toolbar methods are left out, so
// the Finder offers none rather than a button that opens nothing.
@interface FinderSync : FIFinderSync {
 @private
  // Declared here rather than in the implementation, as GNUstep's runtime
  // (the Linux compile check) has only the fragile instance-variable layout.
  struct TarvineExtension* _extension;
}
- (NSMenu*)menuForMenuKind:(FIMenuKind)menuKind;
- (IBAction)showHistory:(id)sender;
- (IBAction)enableHistory:(id)sender;
- (IBAction)disableHistory:(id)sender;
- (IBAction)snapshotNow:(id)sender;
- (IBAction)restorePrevious:(id)sender;
@end
