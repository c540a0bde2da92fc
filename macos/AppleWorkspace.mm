#include "macos/AppleWorkspace.h"

#import <AppKit/AppKit.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {

bool AppleWorkspace::isApplicationRunning(std::string_view bundleIdentifier) {
  @autoreleasepool {
    NSArray* running = [NSRunningApplication
        runningApplicationsWithBundleIdentifier:string(std::string(bundleIdentifier))];
    return [running count] > 0;
  }
}

void AppleWorkspace::openApplication(const FileURL& location, bool activates) {
  @autoreleasepool {
    NSWorkspaceOpenConfiguration* configuration = [NSWorkspaceOpenConfiguration configuration];
    [configuration setActivates:activates ? YES : NO];
    [[NSWorkspace sharedWorkspace] openApplicationAtURL:url(location)
                                          configuration:configuration
                                      completionHandler:nullptr];
  }
}

}  // namespace tarvine::apple
