#import "FinderDoubles.h"

#import <FinderSync/FinderSync.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <new>

namespace tarvine::apple::doubles {
namespace {

std::string text(NSString* string) { return string != nil ? [string UTF8String] : ""; }

}  // namespace

Finder& finder() {
  static Finder state;
  return state;
}

System& system() {
  static System state;
  return state;
}

void select(NSArray* selectedItemURLs, NSURL* targetedURL) {
  [selectedItemURLs retain];
  [targetedURL retain];
  [finder().selectedItemURLs release];
  [finder().targetedURL release];
  finder().selectedItemURLs = selectedItemURLs;
  finder().targetedURL = targetedURL;
}

NSMenu* finderCopy(NSMenu* menu, id extension) {
  NSMenu* copy = [[[NSMenu alloc] initWithTitle:[menu title]] autorelease];
  // The enabled states are the extension's, not AppKit's validation.
  [copy setAutoenablesItems:NO];
  for (NSInteger i = 0; i < [menu numberOfItems]; ++i) {
    NSMenuItem* source = [menu itemAtIndex:i];
    if ([source isSeparatorItem]) {
      [copy addItem:[NSMenuItem separatorItem]];
      continue;
    }
    NSMenuItem* item = [[[NSMenuItem alloc] initWithTitle:[source title]
                                                   action:nullptr
                                            keyEquivalent:@""] autorelease];
    if ([source submenu] != nil) [item setSubmenu:finderCopy([source submenu], extension)];
    [item setAction:[source action]];
    [item setTarget:nil];
    [item setImage:[source image]];
    [item setEnabled:[source isEnabled]];
    [item setTag:[source tag]];
    [item setState:[source state]];
    [item setIndentationLevel:[source indentationLevel]];
    [copy addItem:item];
    finder().shownItems[item] = extension;
  }
  if (finder().shownMenus == nil) finder().shownMenus = [[NSMutableArray alloc] init];
  [finder().shownMenus addObject:copy];
  return copy;
}

bool finderClick(NSMenuItem* item) {
  auto shown = finder().shownItems.find(item);
  if (shown == finder().shownItems.end()) {
    ADD_FAILURE() << "clicked an item the Finder did not show: " << text([item title]);
    return false;
  }
  if ([item submenu] != nil || [item action] == nullptr || ![item isEnabled]) return false;
  return [NSApp sendAction:[item action] to:shown->second from:item] == YES;
}

void reset() {
  select(nil, nil);
  [finder().shownMenus release];
  finder().shownMenus = nil;
  finder().shownItems.clear();
  [finder().directoryURLs release];
  finder().directoryURLs = nil;
  finder().registeredScopes.clear();
  system() = System{};
}

}  // namespace tarvine::apple::doubles

using namespace tarvine::apple;

@implementation FIFinderSync
@end

// GNUstep's runtime has only the fragile instance-variable layout, so the
// doubles keep their state in the recorded structures, not in ivars.
@implementation FIFinderSyncController

+ (FIFinderSyncController*)defaultController {
  static FIFinderSyncController* shared = [[FIFinderSyncController alloc] init];
  return shared;
}

- (NSSet*)directoryURLs {
  return doubles::finder().directoryURLs;
}

- (void)setDirectoryURLs:(NSSet*)urls {
  [doubles::finder().directoryURLs release];
  doubles::finder().directoryURLs = [urls copy];
  std::vector<std::string> texts;
  for (NSURL* url in urls) texts.push_back(doubles::text([url absoluteString]));
  std::sort(texts.begin(), texts.end());
  doubles::finder().registeredScopes.push_back(texts);
}

- (NSArray*)selectedItemURLs {
  return doubles::finder().selectedItemURLs;
}

- (NSURL*)targetedURL {
  return doubles::finder().targetedURL;
}

@end

@implementation NSFileManager (AppleOnly)

- (NSURL*)containerURLForSecurityApplicationGroupIdentifier:(NSString*)groupIdentifier {
  const std::string group = doubles::text(groupIdentifier);
  doubles::system().containerLookups.push_back(group);
  // As on a Mac: a URL for any group, valid or not, whether or not it exists.
  auto found = doubles::system().containers.find(group);
  const std::string path =
      found != doubles::system().containers.end()
          ? found->second
          : doubles::text(NSHomeDirectory()) + "/Library/Group Containers/" + group;
  return [NSURL fileURLWithPath:[NSString stringWithUTF8String:path.c_str()] isDirectory:YES];
}

- (NSURL*)homeDirectoryForCurrentUser {
  return [NSURL fileURLWithPath:NSHomeDirectory() isDirectory:YES];
}

@end

@implementation NSURL (AppleOnly)

- (NSData*)bookmarkDataWithOptions:(NSURLBookmarkCreationOptions)options
    includingResourceValuesForKeys:(NSArray*)keys
                     relativeToURL:(NSURL*)relativeURL
                             error:(NSError**)error {
  (void)keys;
  const std::string path = doubles::text([self path]);
  doubles::system().scopeEvents.push_back("bookmark " + path);
  if (doubles::system().bookmarkThrows) throw std::bad_alloc();
  if (!doubles::system().grantsBookmarks || options != NSURLBookmarkCreationWithSecurityScope ||
      relativeURL != nil) {
    if (error != nullptr)
      *error = [NSError errorWithDomain:NSCocoaErrorDomain code:256 userInfo:nil];
    return nil;
  }
  const std::string bytes = "bookmark:" + path;
  return [NSData dataWithBytes:bytes.data() length:bytes.size()];
}

- (BOOL)startAccessingSecurityScopedResource {
  doubles::system().scopeEvents.push_back("start " + doubles::text([self path]));
  return doubles::system().grantsBookmarks ? YES : NO;
}

- (void)stopAccessingSecurityScopedResource {
  doubles::system().scopeEvents.push_back("stop " + doubles::text([self path]));
}

@end

@implementation NSWorkspaceOpenConfiguration

+ (instancetype)configuration {
  return [[[self alloc] init] autorelease];
}

- (BOOL)activates {
  auto found = doubles::system().activates.find(self);
  return found != doubles::system().activates.end() && found->second ? YES : NO;
}

- (void)setActivates:(BOOL)activates {
  doubles::system().activates[self] = activates == YES;
}

- (void)dealloc {
  doubles::system().activates.erase(self);
  [super dealloc];
}

@end

@implementation NSWorkspace (AppleOnly)

- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:
               (void (^)(NSRunningApplication* app, NSError* error))completionHandler {
  doubles::system().opened.push_back(doubles::text([applicationURL path]) +
                                     ([configuration activates] ? " activates" : ""));
  if (completionHandler != nullptr) completionHandler(nil, nil);
}

@end

@implementation NSImage (AppleOnly)

- (void)setTemplate:(BOOL)isTemplate {
  doubles::system().templates[self] = isTemplate == YES;
}

- (BOOL)isTemplate {
  auto found = doubles::system().templates.find(self);
  return found != doubles::system().templates.end() && found->second ? YES : NO;
}

@end

// GNUstep has NSRunningApplication but knows only what its own workspace
// launched; the answer here is the double's, replacing GNUstep's method.
#pragma clang diagnostic ignored "-Wobjc-protocol-method-implementation"
@implementation NSRunningApplication (Double)

+ (NSArray*)runningApplicationsWithBundleIdentifier:(NSString*)bundleIdentifier {
  if (doubles::system().running.count(doubles::text(bundleIdentifier)) == 0) return @[];
  return @[ [[[NSRunningApplication alloc] init] autorelease] ];
}

@end
