#pragma once

#include <git2.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/FolderAccess.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/StatCache.h"

namespace tarvine::history {

// Builds the trees of a snapshot, folder by folder, reading only what the
// stat cache cannot vouch for, and keeping the tree a folder had when the
// cache vouches for all it holds. Told which folders changed since the last
// snapshot, it reads only those (and the folders that lead to them): every
// other folder keeps its tree from the last snapshot; a folder made or moved
// in is read with all below it. What cannot be read, or changes each time it
// is read, is reported in the snapshot and kept as the last snapshot had it
// (a snapshot records deletions, never failures); a file is stored only as
// one whole version, never as pieces of two. What the history cannot take (a
// full disk) fails the whole snapshot, rather than record one that silently
// lacks a file.
class TreeWriter {
 public:
  struct Setting {
    FolderAccess& access;
    git_repository* repository;
    git_odb* odb;
    // What the last snapshots saw, and where this one's records go (kept
    // only once the snapshot is durable).
    StatCache& cache;
    // When this snapshot began, by the clock that stamps files.
    std::int64_t start;
    // Whether the cache may name objects the history no longer holds (its
    // snapshots were rewritten since it was written): each is looked for.
    bool verifyCached;
    // The folders that changed since the last snapshot, paths below the root
    // ("" for the root itself), and that snapshot's tree; without them, every
    // folder is read.
    const std::set<std::string>* changed;
    // Among them, those read with every folder below them: what no watch saw.
    const std::set<std::string>& wholeBelow;
    const git_tree* lastTree;
    // The root's path ("" for "/"), and the folders to leave out, absolute.
    std::string root;
    const std::vector<std::string>& excluded;
    bool hasIgnoreRules;
    // Paths a restore is about to overwrite, and the folders that lead to
    // them: kept whatever the ignore rules say.
    const std::set<std::string>& keptAnyway;
    // The start of the names of a running restore's temporary files, which
    // are not the user's; empty outside a restore.
    const std::string& temporaryPrefix;
    // How the store names what git refuses.
    Naming naming;
    // Files of at least this size are stored in chunks (Chunks.h).
    std::uint64_t chunkedFileBytes;
  };
  TreeWriter(Setting setting, Snapshot& report);

  // The tree of the open folder `fd`, `relative` below the root.
  Result<git_oid> folder(int fd, const std::string& relative);

  // How many times a file that changes while it is read is read before the
  // last snapshot's version of it is kept instead.
  static constexpr int kReadAttempts = 3;

 private:
  bool ignored(const std::string& path, const struct stat& info) const;
  bool isExcluded(const std::string& path) const;
  // A folder: read whole when `whole` (or when it changed), otherwise its
  // last tree with only the folders that lead to changes read again.
  Result<git_oid> walk(int fd, const std::string& relative, const git_tree* last, bool whole);
  Result<git_oid> readFolder(int fd, const std::string& relative, const git_tree* last, bool whole);
  Result<git_oid> along(int fd, const std::string& relative, const git_tree* last);
  bool changedBelow(const std::string& relative) const;
  // Whether an object the cache names may stand in a tree: always, unless
  // the history was rewritten since the cache was written and it is gone.
  bool usable(const git_oid& oid) const;
  // A file's blob, read or vouched for; `recorded` is what the cache keeps of it.
  Result<git_oid> file(int parent, const std::string& name, const std::string& path,
                       const struct stat& listed, const CachedFolder* cached, std::uint32_t mode,
                       CachedEntry& recorded);
  // One reading of a file, stored only when the file did not change during it.
  Result<git_oid> readOnce(int parent, const std::string& name, const std::string& path,
                           struct stat& info);
  Result<git_oid> store(int fd, const struct stat& info, const std::string& path);
  Result<git_oid> link(int parent, const std::string& name, const struct stat& info);
  // Reports `path` as not read and puts the last snapshot's entry for it, if
  // it had one, in its place.
  Status keepLast(git_treebuilder* builder, const std::string& name, const std::string& path,
                  Skipped::Kind kind, std::string why);
  // What the history cannot take fails the whole snapshot, never only the
  // folder being written.
  Status storeFailed(const std::string& path);
  Status fatal(Status status);

  Setting setting_;
  Snapshot& report_;
  std::optional<Status> fatal_;
  // The last snapshot, read when something must be carried forward from it.
  std::optional<Commit> last_;
};

}  // namespace tarvine::history
