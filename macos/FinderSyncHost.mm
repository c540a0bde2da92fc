#include "macos/FinderSyncHost.h"

#import <FinderSync/FinderSync.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {

void FinderSyncHost::setDirectoryURLs(const std::vector<FileURL>& directories) {
  @autoreleasepool {
    NSMutableSet* urls = [NSMutableSet setWithCapacity:directories.size()];
    for (const FileURL& directory : directories) [urls addObject:url(directory)];
    [[FIFinderSyncController defaultController] setDirectoryURLs:urls];
  }
}

std::optional<std::vector<FileURL>> FinderSyncHost::selectedItemURLs() {
  @autoreleasepool {
    NSArray* selected = [[FIFinderSyncController defaultController] selectedItemURLs];
    if (selected == nil) return std::nullopt;
    std::vector<FileURL> urls;
    for (NSURL* item in selected) {
      if (auto location = fileURL(item)) urls.push_back(*location);
    }
    return urls;
  }
}

std::optional<FileURL> FinderSyncHost::targetedURL() {
  @autoreleasepool {
    return fileURL([[FIFinderSyncController defaultController] targetedURL]);
  }
}

}  // namespace tarvine::apple
