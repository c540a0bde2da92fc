#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace tarvine::testing {

// Wraps a real file system, failing or replacing chosen operations and counting
// the calls that reach it, so that every failure path can be driven from a test.
class FaultInjectingFileSystem : public FileSystem {
 public:
  struct Faults {
    // Replaces the user database's answer (the inner optional: whether the field is there).
    std::optional<std::optional<std::string>> userDatabaseHome;
    std::optional<FileURL> homeForCurrentUser;
    // Replaces the container lookup (the inner optional: whether one is granted).
    std::optional<std::optional<FileURL>> container;
    bool failDate = false;
    std::optional<Timestamp> fixedDate;
    int readError = 0;  // errno to fail readFile with, 0 for none
    int createDirectoryError = 0;
    int writeError = 0;  // e.g. ENOSPC for a full disk, EROFS for read-only
  };

  struct Calls {
    int containerLookups = 0;
    int dateQueries = 0;
    int reads = 0;
    int createDirectories = 0;
    int writes = 0;
  };

  explicit FaultInjectingFileSystem(FileSystem& base) : base_(base) {}

  Faults faults;
  Calls calls;
  // When set, each directory creation and write is noted here too.
  std::vector<std::string>* journal = nullptr;

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
  FileSystem& base_;
};

}  // namespace tarvine::testing
