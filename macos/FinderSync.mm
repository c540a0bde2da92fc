#import "macos/FinderSync.h"

#import <AppKit/AppKit.h>

#include "extension/FinderSync.h"
#include "macos/AppleBookmarks.h"
#include "macos/AppleBundle.h"
#include "macos/AppleClock.h"
#include "macos/AppleConversions.h"
#include "macos/AppleFileSystem.h"
#include "macos/AppleSystemLog.h"
#include "macos/AppleUuidGenerator.h"
#include "macos/AppleWorkspace.h"
#include "macos/CoreForwarder.h"
#include "macos/FinderSyncHost.h"

// The Apple services and the core object built on them, owned together.
struct TarvineExtension {
  tarvine::apple::FinderSyncHost host;
  tarvine::apple::AppleBundle bundle;
  tarvine::apple::AppleFileSystem fileSystem;
  tarvine::apple::AppleWorkspace workspace;
  tarvine::apple::AppleBookmarks bookmarks;
  tarvine::apple::AppleSystemLog log;
  tarvine::apple::AppleClock clock;
  tarvine::apple::AppleUuidGenerator uuids;
  // The texts are the process's; the services stay this object's. The Finder
  // makes further instances for Open and Save panels and frees them in any order.
  tarvine::Identifiers identifiers{bundle, fileSystem, tarvine::Identifiers::processWide()};
  tarvine::FinderSync core{
      tarvine::Services{host, bundle, fileSystem, workspace, bookmarks, log, clock, uuids},
      identifiers};
  // The forwards into the core take turns (macos/CoreForwarder.h).
  std::mutex turn;
};

namespace {

// Literal selectors, so that the compiler checks each against this class's
// declared methods; a name looked up from text would only fail on a click.
SEL selectorFor(tarvine::Selector action) {
  switch (action) {
    case tarvine::Selector::showHistory:
      return @selector(showHistory:);
    case tarvine::Selector::enableHistory:
      return @selector(enableHistory:);
    case tarvine::Selector::disableHistory:
      return @selector(disableHistory:);
    case tarvine::Selector::snapshotNow:
      return @selector(snapshotNow:);
    case tarvine::Selector::restorePrevious:
      return @selector(restorePrevious:);
  }
  return nullptr;
}

}  // namespace

@implementation FinderSync

- (instancetype)init {
  self = [super init];
  // Constructing the core registers the monitored scope with the Finder.
  if (self != nil) _extension = new TarvineExtension;
  return self;
}

- (void)dealloc {
  delete _extension;
#if !__has_feature(objc_arc)
  [super dealloc];
#endif
}

// The core's value tree as the Finder's menu: titles, actions as this
// object's selectors (none on an item with a submenu), targets, enabled
// flags, states, image and submenus.
- (NSMenu*)menuFrom:(const tarvine::Menu&)model {
  NSMenu* menu = TV_AUTORELEASE([[NSMenu alloc] initWithTitle:tarvine::apple::string(model.title)]);
  [menu setAutoenablesItems:model.autoenablesItems ? YES : NO];
  for (const tarvine::MenuItem& entry : model.items) {
    if (entry.isSeparator) {
      [menu addItem:[NSMenuItem separatorItem]];
      continue;
    }
    NSMenuItem* item = TV_AUTORELEASE([[NSMenuItem alloc]
        initWithTitle:tarvine::apple::string(entry.title)
               action:nullptr
        keyEquivalent:tarvine::apple::string(entry.keyEquivalent)]);
    [menu addItem:item];
    if (entry.image) {
      NSImage* image = [NSImage imageNamed:tarvine::apple::string(entry.image->name)];
      [image setTemplate:entry.image->isTemplate ? YES : NO];
      [image setSize:NSMakeSize(entry.image->width, entry.image->height)];
      [item setImage:image];
    }
    // The Finder opens an item's submenu and never sends that item's action,
    // so a parent keeps what AppKit gives an item that gains a submenu
    // (submenuAction: to the submenu, which also keeps it enabled). The
    // Finder ignores targets and sends actions to this object; the target is
    // for AppKit's own use of the menu.
    if (entry.submenu) {
      [item setSubmenu:[self menuFrom:*entry.submenu]];
    } else {
      [item setAction:entry.action ? selectorFor(*entry.action) : nullptr];
      [item setTarget:entry.target != nullptr ? self : nil];
    }
    [item setEnabled:entry.enabled ? YES : NO];
    [item setState:entry.state == tarvine::MenuItemState::on ? NSControlStateValueOn
                                                             : NSControlStateValueOff];
  }
  return menu;
}

- (NSMenu*)menuForMenuKind:(FIMenuKind)menuKind {
  return [self menuFrom:tarvine::apple::forwardMenu(_extension->turn, _extension->core,
                                                    tarvine::MenuKind{menuKind})];
}

- (IBAction)showHistory:(id)sender {
  (void)sender;
  tarvine::apple::forwardCommand(_extension->turn, _extension->core,
                                 &tarvine::FinderSync::showHistory);
}

- (IBAction)enableHistory:(id)sender {
  (void)sender;
  tarvine::apple::forwardCommand(_extension->turn, _extension->core,
                                 &tarvine::FinderSync::enableHistory);
}

- (IBAction)disableHistory:(id)sender {
  (void)sender;
  tarvine::apple::forwardCommand(_extension->turn, _extension->core,
                                 &tarvine::FinderSync::disableHistory);
}

- (IBAction)snapshotNow:(id)sender {
  (void)sender;
  tarvine::apple::forwardCommand(_extension->turn, _extension->core,
                                 &tarvine::FinderSync::snapshotNow);
}

- (IBAction)restorePrevious:(id)sender {
  (void)sender;
  tarvine::apple::forwardCommand(_extension->turn, _extension->core,
                                 &tarvine::FinderSync::restorePrevious);
}

@end
