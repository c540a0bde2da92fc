#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/FileURL.h"
#include "foundation/Status.h"
#include "foundation/Timestamp.h"

namespace tarvine {

// The file system and user database as the extension sees them.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The home-directory field of the user database record of the real user id,
  // as raw bytes; absent when there is no record or the field is missing.
  virtual std::optional<std::string> userDatabaseHomeDirectory() = 0;
  // The file manager's idea of the current user's home, in directory form.
  virtual FileURL homeDirectoryForCurrentUser() = 0;
  // The container directory of an application group, when the platform grants one.
  virtual std::optional<FileURL> containerURLForSecurityApplicationGroupIdentifier(
      std::string_view groupIdentifier) = 0;
  // The content modification date at the file system's full precision; absent
  // when the file cannot be examined.
  virtual std::optional<Timestamp> contentModificationDate(const FileURL& url) = 0;
  // The whole content of a regular file.
  virtual Result<std::string> readFile(const FileURL& url) = 0;
  // Creates the directory and any missing parents; an existing directory is success.
  // What is created is the user's alone (the group container and what it holds
  // are), whatever the umask.
  virtual Status createDirectory(const FileURL& url) = 0;
  // Either the whole content is in place under the final name, or nothing changed.
  // A new file is the user's alone, whatever the umask.
  virtual Status writeFileAtomically(const FileURL& url, std::string_view content) = 0;
  // The same location with the symbolic links of its path resolved as far as they
  // exist. Always yields a URL: one that cannot be resolved comes back unchanged.
  virtual FileURL resolvingSymlinksInPath(const FileURL& url) = 0;
};

}  // namespace tarvine
