// GNUstep's AppKit, plus what Apple's has and GNUstep's lacks, with Apple's
// signatures; and the deprecated Apple APIs made unusable (see the
// Foundation counterpart, which GNUstep's AppKit brings).
#pragma once

#include_next <AppKit/AppKit.h>

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
- (BOOL)isTemplate;
@end

// Deprecated by Apple in macOS 11 or before: launching by name, path or
// bundle identifier (use openApplicationAtURL:configuration:completionHandler:),
// the launched-application lists (use NSRunningApplication), and NSImage's
// pre-10.6 scaling.
#pragma GCC poison launchApplication launchApplicationAtURL launchAppWithBundleIdentifier
#pragma GCC poison openFile fullPathForApplication absolutePathForAppBundleWithIdentifier
#pragma GCC poison launchedApplications activeApplication setScalesWhenResized
