#pragma once

#include <git2.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

// What the last snapshot saw of each regular file, as git's index keeps it:
// a file whose size, times and inode are unchanged is not read again, unless
// its times are too close to that snapshot's start to vouch for its content
// (git's "racy" rule).
namespace tarvine::history {

struct CachedFile {
  std::int64_t size, mtime, ctime, inode;  // times in nanoseconds
  git_oid blob;
  friend bool operator==(const CachedFile& a, const CachedFile& b) {
    return a.size == b.size && a.mtime == b.mtime && a.ctime == b.ctime && a.inode == b.inode &&
           git_oid_equal(&a.blob, &b.blob);
  }
};

// Keyed by the path below the root, as the user knows it.
using CachedFiles = std::unordered_map<std::string, CachedFile>;

// Where a root is: its folder's device and inode, and whether it is a mount
// of its own (on another device than its parent folder). A disk that is no
// longer mounted there shows as a change of these.
struct RootPlace {
  std::uint64_t device = 0, inode = 0;
  bool mountPoint = false;
  friend bool operator==(const RootPlace&, const RootPlace&) = default;
};

struct StatCache {
  // When the snapshot that recorded the files began, in nanoseconds, by the
  // clock that stamps files (0: no entry is trusted).
  std::int64_t start = 0;
  // Where the root was then (none in a cache of an earlier version).
  std::optional<RootPlace> root;
  CachedFiles files;

  // The entry of `path` when it vouches for the file `info` describes: the
  // same size, times and inode, and times older than `start`. A file changed
  // again within one tick of its file system's clock after it was read keeps
  // its size and times; only a time from before the snapshot began proves
  // that no such change can hide behind it.
  const CachedFile* trusted(const std::string& path, const struct stat& info) const;

  friend bool operator==(const StatCache&, const StatCache&) = default;
};

// Now, by the clock that stamps files' times: the kernel stamps them from its
// coarse clock (or finer), never earlier, so a file changed after this moment
// never has a time before it.
std::int64_t fileClockNow();

// Whether `time` (as a file system keeps it) is strictly older than `moment`,
// with `moment` first rounded down to the steps in which that file system
// keeps times: a time kept in whole seconds equals `moment`'s second even
// when it was stamped after it.
bool olderThan(const timespec& time, std::int64_t moment);

CachedFile cachedOf(const struct stat& info, const git_oid& blob);

// An unreadable or missing cache is an empty one: every file is read again,
// and nothing is lost.
StatCache loadCache(const std::string& path);
// Written beside and renamed over; a failure only costs the next snapshot reads.
void saveCache(const std::string& path, const StatCache& cache);

}  // namespace tarvine::history
