#include "macos/AppleBookmarks.h"

#import <Foundation/Foundation.h>

#include "macos/AppleConversions.h"

namespace tarvine::apple {

bool AppleBookmarks::startAccessing(const FileURL& location) {
  @autoreleasepool {
    return [url(location) startAccessingSecurityScopedResource] == YES;
  }
}

void AppleBookmarks::stopAccessing(const FileURL& location) {
  @autoreleasepool {
    [url(location) stopAccessingSecurityScopedResource];
  }
}

std::optional<Data> AppleBookmarks::bookmarkData(const FileURL& location) {
  @autoreleasepool {
    NSError* error = nil;
    NSData* bookmark = [url(location) bookmarkDataWithOptions:NSURLBookmarkCreationWithSecurityScope
                               includingResourceValuesForKeys:nil
                                                relativeToURL:nil
                                                        error:&error];
    if (bookmark == nil) return std::nullopt;  // the error is dropped, never logged
    const auto* bytes = static_cast<const std::uint8_t*>([bookmark bytes]);
    return Data(bytes, bytes + [bookmark length]);
  }
}

}  // namespace tarvine::apple
