#pragma once

#include "platform/FileSystem.h"

namespace tarvine::apple {

// The file system through NSFileManager and NSURL. The group container is the
// one the sandbox grants the application group.
class AppleFileSystem : public FileSystem {
 public:
  std::optional<std::string> userDatabaseHomeDirectory() override;
  FileURL homeDirectoryForCurrentUser() override;
  std::optional<FileURL> containerURLForSecurityApplicationGroupIdentifier(
      std::string_view groupIdentifier) override;
  std::optional<Timestamp> contentModificationDate(const FileURL& url) override;
  Result<std::string> readFile(const FileURL& url) override;
  Status createDirectory(const FileURL& url) override;
  Status writeFileAtomically(const FileURL& url, std::string_view content) override;
  FileURL resolvingSymlinksInPath(const FileURL& url) override;
};

}  // namespace tarvine::apple
