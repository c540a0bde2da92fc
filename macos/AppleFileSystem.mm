#include "macos/AppleFileSystem.h"

#import <Foundation/Foundation.h>

#include <pwd.h>
#include <unistd.h>
#include <cerrno>
#include <new>

#include "macos/AppleConversions.h"

namespace tarvine::apple {
namespace {

// No file the extension reads comes near this; a larger one (a sparse file
// claiming terabytes) is refused before anything is read.
constexpr unsigned long long kMaxFileBytes = 1ull << 30;

Status failure(NSString* what, NSError* error) {
  return Status::error(text(what) + ": " + text([error localizedDescription]),
                       static_cast<int>([error code]));
}

}  // namespace

std::optional<std::string> AppleFileSystem::userDatabaseHomeDirectory() {
  const passwd* record = ::getpwuid(::getuid());
  if (record == nullptr || record->pw_dir == nullptr) return std::nullopt;
  return std::string(record->pw_dir);
}

FileURL AppleFileSystem::homeDirectoryForCurrentUser() {
  NSURL* home = [[NSFileManager defaultManager] homeDirectoryForCurrentUser];
  return fileURL(home).value_or(FileURL::fromPath("/", true));
}

std::optional<FileURL> AppleFileSystem::containerURLForSecurityApplicationGroupIdentifier(
    std::string_view groupIdentifier) {
  NSURL* container = [[NSFileManager defaultManager]
      containerURLForSecurityApplicationGroupIdentifier:string(std::string(groupIdentifier))];
  auto location = fileURL(container);
  if (!location) return std::nullopt;
  return FileURL::fromPath(location->path(), true);
}

std::optional<Timestamp> AppleFileSystem::contentModificationDate(const FileURL& location) {
  @autoreleasepool {
    NSDictionary* attributes =
        [[NSFileManager defaultManager] attributesOfItemAtPath:[url(location) path] error:nullptr];
    NSDate* date = [attributes fileModificationDate];
    if (date == nil) return std::nullopt;
    return timestamp(date);
  }
}

Result<std::string> AppleFileSystem::readFile(const FileURL& location) {
  @autoreleasepool {
    NSFileManager* files = [NSFileManager defaultManager];
    NSString* path = [url(location) path];
    NSError* error = nil;
    NSDictionary* attributes = [files attributesOfItemAtPath:path error:&error];
    if (attributes == nil) return failure(@"cannot examine", error);
    // Only a regular file is read: a FIFO in its place would never end.
    if (![[attributes fileType] isEqualToString:NSFileTypeRegular]) {
      return Status::error("not a regular file: " + location.path(), EINVAL);
    }
    if ([attributes fileSize] > kMaxFileBytes) {
      return Status::error("too large to read: " + location.path(), EFBIG);
    }
    NSData* data = [NSData dataWithContentsOfURL:url(location)];
    if (data == nil) return Status::error("cannot read " + location.path(), EIO);
    try {
      return std::string(static_cast<const char*>([data bytes]), [data length]);
    } catch (const std::bad_alloc&) {
      return Status::error("not enough memory to read " + location.path(), ENOMEM);
    }
  }
}

Status AppleFileSystem::createDirectory(const FileURL& location) {
  @autoreleasepool {
    NSError* error = nil;
    if (![[NSFileManager defaultManager] createDirectoryAtURL:url(location)
                                  withIntermediateDirectories:YES
                                                   attributes:nil
                                                        error:&error]) {
      return failure(@"cannot create directory", error);
    }
    // Something other than a directory in the way is a failure everywhere,
    // though not every Foundation says so.
    BOOL isDirectory = NO;
    if (![[NSFileManager defaultManager] fileExistsAtPath:[url(location) path]
                                              isDirectory:&isDirectory] ||
        !isDirectory) {
      return Status::error("cannot create directory " + location.path() + ": not a directory",
                           ENOTDIR);
    }
    return Status();
  }
}

Status AppleFileSystem::writeFileAtomically(const FileURL& location, std::string_view content) {
  @autoreleasepool {
    NSData* data = [NSData dataWithBytes:content.data() length:content.size()];
    NSError* error = nil;
    if (![data writeToURL:url(location) options:NSDataWritingAtomic error:&error]) {
      return failure(@"cannot write", error);
    }
    return Status();
  }
}

FileURL AppleFileSystem::resolvingSymlinksInPath(const FileURL& location) {
  @autoreleasepool {
    NSURL* resolved = [url(location) URLByResolvingSymlinksInPath];
    auto result = fileURL(resolved);
    if (!result) return location;
    return FileURL::fromPath(result->path(), location.hasDirectoryPath());
  }
}

}  // namespace tarvine::apple
