#pragma once

#include <git2.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct sqlite3 sqlite3;
typedef struct sqlite3_stmt sqlite3_stmt;

// What the last snapshots saw of each folder, as git's index and its cache of
// trees keep it: a file whose size, times and inode are unchanged is not read
// again, unless its times are too close to the start of the snapshot that
// recorded it to vouch for its content (git's "racy" rule); a folder whose
// entries are all vouched for keeps the tree it had, which is not built or
// written again.
//
// Kept in SQLite, one row per folder, so that a snapshot reads only the
// folders it visits and writes only the ones that changed. Git's index (even
// split, with its shared base) is read whole and rewritten whole once its
// changes grow; LMDB reads faster but trusts its file blindly, so a damaged
// one can crash the reader, where SQLite reports damage as an error. Each row
// carries a checksum of its own, so a damaged one is a miss too.
namespace tarvine::history {

// One entry of a folder as a snapshot recorded it: a file or link with its
// size, times (in nanoseconds) and inode, or a folder with only its tree.
struct CachedEntry {
  std::string name;        // as the folder lists it
  std::uint32_t mode = 0;  // git's file mode
  std::int64_t size = 0, mtime = 0, ctime = 0, inode = 0;
  git_oid oid{};  // the blob, or the folder's tree
};

// Where a root is: its folder's device and inode, and whether it is a mount
// of its own (on another device than its parent folder). A disk that is no
// longer mounted there shows as a change of these.
struct RootPlace {
  std::uint64_t device = 0, inode = 0;
  bool mountPoint = false;
  friend bool operator==(const RootPlace&, const RootPlace&) = default;
};

struct CachedFolder {
  // When the snapshot that recorded the folder began, in nanoseconds, by the
  // clock that stamps files (0: no entry is trusted).
  std::int64_t start = 0;
  git_oid tree{};
  std::vector<CachedEntry> entries;  // by name

  const CachedEntry* find(const std::string& name) const;
  // The entry of `name` when it vouches for the file or link `info`
  // describes: the same size, times and inode, and times older than `start`.
  // A file changed again within one tick of its file system's clock after it
  // was read keeps its size and times; only a time from before the snapshot
  // began proves that no such change can hide behind it.
  const CachedEntry* trusted(const std::string& name, const struct stat& info) const;
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

CachedEntry cachedOf(const std::string& name, std::uint32_t mode, const struct stat& info,
                     const git_oid& oid);

// The cache of one history. It is only a hint: one that is missing, damaged
// or of an earlier version answers nothing (every file is read again) and is
// made anew; a failure to write it only costs the next snapshot reads.
class StatCache {
 public:
  // Opens the cache at `path`, made (owner-only) if missing and `writable`.
  static std::unique_ptr<StatCache> open(const std::string& path, bool writable);
  ~StatCache();
  StatCache(const StatCache&) = delete;
  StatCache& operator=(const StatCache&) = delete;

  std::optional<CachedFolder> folder(const std::string& relative);
  // Where the root was at the last snapshot.
  std::optional<RootPlace> root();
  // The snapshot the branch named after the last one was taken: the one every
  // folder's record, and every change seen since, is relative to.
  std::optional<git_oid> tip();

  // Changes are made in one transaction, kept only by `commit`: what vouches
  // for a snapshot's objects is written once that snapshot is durable.
  void begin();
  void put(const std::string& relative, const CachedFolder& folder);
  // The records of the folder `relative` and of every folder below it.
  void removeFolder(const std::string& relative);
  void setRoot(const RootPlace& place);
  void setTip(const git_oid& tip);
  void commit();
  void rollback();

  // Other facts about the last snapshot, by key.
  std::optional<std::string> meta(const std::string& key);
  void setMeta(const std::string& key, const std::string& value);

  // The cache's file name beside the history's objects.
  static constexpr const char* fileName = "tarvine-stat-cache";

 private:
  StatCache(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  sqlite3_stmt* statement(int which);
  // A damaged file answers nothing more, and is removed when closed.
  void failed(int code);

  sqlite3* db_;
  std::string path_;
  sqlite3_stmt* statements_[7] = {};
  bool writable_ = false;
  bool inTransaction_ = false;
  bool damaged_ = false;
};

}  // namespace tarvine::history
