#pragma once

#include <git2.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/FolderAccess.h"
#include "history/History.h"
#include "history/StatCache.h"

namespace tarvine::history {

// Builds the trees of a snapshot, folder by folder, reading only what the
// stat cache cannot vouch for. What cannot be read is reported in the
// snapshot and left out; what the history cannot take (a full disk) fails the
// whole snapshot, rather than record one that silently lacks a file.
class TreeWriter {
 public:
  struct Setting {
    FolderAccess& access;
    git_repository* repository;
    git_odb* odb;
    const StatCache& previous;
    // The root's path ("" for "/"), and the folders to leave out, absolute.
    std::string root;
    const std::vector<std::string>& excluded;
    bool hasIgnoreRules;
  };
  TreeWriter(Setting setting, Snapshot& report);

  // The tree of the open folder `fd`, `relative` below the root.
  Result<git_oid> folder(int fd, const std::string& relative);

  // What this snapshot saw of the files it read or trusted, for the next
  // one's cache.
  const CachedFiles& seen() const { return seen_; }

 private:
  bool ignored(const std::string& path, const struct stat& info) const;
  Result<git_oid> file(int parent, const std::string& name, const std::string& path,
                       const struct stat& listed);
  Result<git_oid> link(int parent, const std::string& name, const struct stat& info);
  Status storeFailed(const std::string& path);

  Setting setting_;
  Snapshot& report_;
  CachedFiles seen_;
  std::optional<Status> fatal_;
};

}  // namespace tarvine::history
