// Doubles of the Finder's side of the extension and of the Apple services that
// GNUstep lacks, so that the extension class runs here as the Finder drives
// it: each records what it was asked and answers what a test set.
#pragma once

#import <AppKit/AppKit.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarvine::apple::doubles {

struct Finder {
  // What FIFinderSyncController reports; nil for none.
  NSArray* selectedItemURLs = nil;
  NSURL* targetedURL = nil;
  NSSet* directoryURLs = nil;
  // Each setDirectoryURLs: call, as the URLs' texts, sorted.
  std::vector<std::vector<std::string>> registeredScopes;
  // The menus the Finder made of the extension's (retained until reset), and
  // for each of their items the extension object its actions go to.
  NSMutableArray* shownMenus = nil;
  std::map<const void*, id> shownItems;
};

struct System {
  // Group identifier to container path. As Apple documents for macOS, a group
  // not listed still gets a URL (~/Library/Group Containers/GROUP), made or not.
  std::map<std::string, std::string> containers;
  std::vector<std::string> containerLookups;
  // Bundle identifiers that NSRunningApplication reports running.
  std::set<std::string> running;
  // Each openApplicationAtURL: call: the application's path, and " activates" when asked to.
  std::vector<std::string> opened;
  // Security scope: "start PATH", "stop PATH", "bookmark PATH".
  std::vector<std::string> scopeEvents;
  // As on a Mac, where the Finder gives an extension the selected URLs but no
  // sandbox access to them: access and security-scoped bookmarks are refused
  // unless a test grants them.
  bool grantsBookmarks = false;
  // Making a bookmark throws std::bad_alloc, as running out of memory would.
  bool bookmarkThrows = false;
  // setTemplate: as last called on each image, and each open configuration's activates.
  std::map<const void*, bool> templates;
  std::map<const void*, bool> activates;
};

Finder& finder();
System& system();
// Everything back to nothing selected, registered, granted or running.
void reset();
// Sets what the controller reports (retained until the next call or reset).
void select(NSArray* selectedItemURLs, NSURL* targetedURL);

// The menu as the Finder shows it: a new menu holding, of each item, only what
// Apple's FinderSync.h says the Finder uses (title, action, image, enabled
// state, tag, state, indentation level, submenu). The target and everything
// else of the extension's items are dropped; actions go to `extension`.
NSMenu* finderCopy(NSMenu* menu, id extension);
// A click on an item of a Finder copy: its action sent to the extension
// object, true when it was. An item with a submenu opens it and sends nothing,
// as does one without an action or disabled. An item the Finder did not make
// cannot be clicked: the Finder never shows the extension's own items.
bool finderClick(NSMenuItem* item);

}  // namespace tarvine::apple::doubles
