#pragma once

#include <cstddef>
#include <string>

#include "platform/FileSystem.h"

namespace tarvine {

// The file system through POSIX calls. Group containers are directories named
// by the group identifier inside a data directory ($XDG_DATA_HOME, or
// ~/.local/share); one is granted only once it exists, since the main
// application creates it and the extension never does.
class PosixFileSystem : public FileSystem {
 public:
  explicit PosixFileSystem(std::string dataHome);

  // No file the extension reads comes near this; a larger one (a sparse file
  // claiming terabytes, say) is refused before any memory is taken for it.
  static constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

  // $XDG_DATA_HOME when it is an absolute path, else $HOME/.local/share, taking
  // the user database's home when HOME is unset or not absolute.
  static std::string dataHomeFromEnvironment();

  // Whether `text` can name a group's container: one directory inside the data
  // directory, never the data directory itself or anything outside it.
  static bool isGroupIdentifier(std::string_view text);

  // The whole content of the regular file at `path`, refused when it holds more
  // than `maxBytes`. Never throws: running out of memory makes the file unreadable.
  static Result<std::string> readRegularFile(const std::string& path, std::size_t maxBytes);

  std::optional<std::string> userDatabaseHomeDirectory() override;
  FileURL homeDirectoryForCurrentUser() override;
  std::optional<FileURL> containerURLForSecurityApplicationGroupIdentifier(
      std::string_view groupIdentifier) override;
  std::optional<Timestamp> contentModificationDate(const FileURL& url) override;
  Result<std::string> readFile(const FileURL& url) override;
  Status createDirectory(const FileURL& url) override;
  Status writeFileAtomically(const FileURL& url, std::string_view content) override;
  FileURL resolvingSymlinksInPath(const FileURL& url) override;

 private:
  std::string dataHome_;
};

}  // namespace tarvine
