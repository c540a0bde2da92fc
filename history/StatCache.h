#pragma once

#include <git2.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <unordered_map>

// What the last snapshot saw of each regular file, as git's index keeps it:
// a file whose size, times and inode are unchanged is not read again.
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
using StatCache = std::unordered_map<std::string, CachedFile>;

bool unchanged(const CachedFile& cached, const struct stat& info);
CachedFile cachedOf(const struct stat& info, const git_oid& blob);

// An unreadable or missing cache is an empty one: every file is read again,
// and nothing is lost.
StatCache loadCache(const std::string& path);
// Written beside and renamed over; a failure only costs the next snapshot reads.
void saveCache(const std::string& path, const StatCache& cache);

}  // namespace tarvine::history
