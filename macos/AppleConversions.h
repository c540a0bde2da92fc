// Between the core's value types and Foundation's. Objective-C++ only.
#pragma once

#import <Foundation/Foundation.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "foundation/FileURL.h"
#include "foundation/Timestamp.h"

// Objects made with alloc/init are handed on autoreleased; under ARC the
// compiler does that itself. The code is correct with ARC (the macOS build)
// and without it (GNUstep's runtime, for the check on Linux).
#if __has_feature(objc_arc)
#define TV_AUTORELEASE(object) (object)
#else
#define TV_AUTORELEASE(object) [(object) autorelease]
#endif

namespace tarvine::apple {

inline NSString* string(const std::string& text) {
  NSString* made = [[NSString alloc] initWithBytes:text.data()
                                            length:text.size()
                                          encoding:NSUTF8StringEncoding];
  return made != nil ? TV_AUTORELEASE(made) : @"";
}

inline std::string text(NSString* string) {
  if (string == nil) return {};
  const char* bytes = [string UTF8String];
  return bytes != nullptr ? std::string(bytes) : std::string();
}

// File URLs carry their path bytes as they are: the file system's
// representation both ways, so that names that are not UTF-8 survive.
inline NSURL* url(const FileURL& location) {
  NSString* path =
      [[NSFileManager defaultManager] stringWithFileSystemRepresentation:location.rawPath().c_str()
                                                                  length:location.rawPath().size()];
  return [NSURL fileURLWithPath:path isDirectory:location.hasDirectoryPath()];
}

// Directory form is read off the URL's text, which every Foundation has.
inline std::optional<FileURL> fileURL(NSURL* location) {
  if (location == nil || ![location isFileURL] || [location path] == nil) return std::nullopt;
  const char* path = [[location path] fileSystemRepresentation];
  if (path == nullptr) return std::nullopt;
  return FileURL::fromPath(path, [[location absoluteString] hasSuffix:@"/"]);
}

inline Timestamp timestamp(NSDate* date) {
  const double seconds = [date timeIntervalSince1970];
  const double whole = std::floor(seconds);
  return Timestamp::fromUnix(static_cast<std::int64_t>(whole),
                             static_cast<std::int64_t>((seconds - whole) * 1e9));
}

}  // namespace tarvine::apple
