#include "history/StatCache.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "history/Privacy.h"

namespace tarvine::history {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// FAT keeps modification times in steps of two seconds, the coarsest step of
// any file system a root may be on.
constexpr std::int64_t kCoarsestStep = 2 * kNanosecondsPerSecond;
// The layout's version, as SQLite's user_version: a file of another is made anew.
constexpr int kLayout = 1;
// How long a snapshot waits for a reader of the cache (the history window
// asking for a file's id) before it gives up writing it.
constexpr int kBusyMilliseconds = 2000;
constexpr const char* kRootKey = "root";
constexpr const char* kTipKey = "tip";

enum Statement {
  kGetFolder,
  kPutFolder,
  kRemoveFolder,
  kRemoveBelow,
  kGetMeta,
  kPutMeta,
  kStatements
};
constexpr const char* kSql[kStatements] = {
    "SELECT record FROM folders WHERE path = ?1",
    "INSERT OR REPLACE INTO folders(path, record) VALUES (?1, ?2)",
    "DELETE FROM folders WHERE path = ?1",
    "DELETE FROM folders WHERE path >= ?1 AND path < ?2",
    "SELECT value FROM meta WHERE key = ?1",
    "INSERT OR REPLACE INTO meta(key, value) VALUES (?1, ?2)",
};
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS folders(path BLOB PRIMARY KEY, record BLOB NOT NULL) "
    "WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value BLOB NOT NULL) WITHOUT ROWID;";

std::int64_t nanoseconds(const timespec& time) {
  return time.tv_sec * kNanosecondsPerSecond + time.tv_nsec;
}

// The step in which the file system that stamped `time` keeps times, as far
// as its digits tell: no nanoseconds at all may come from one that keeps
// whole seconds, or FAT's two; trailing zeros, from one that keeps tenths,
// hundredths (exFAT), hundreds of nanoseconds (NTFS). A guess too coarse
// costs a read, never an edit.
std::int64_t stepOf(const timespec& time) {
  if (time.tv_nsec == 0) return kCoarsestStep;
  std::int64_t step = 1;
  for (long rest = time.tv_nsec; rest % 10 == 0; rest /= 10) step *= 10;
  return step;
}

bool sameStat(const CachedEntry& cached, const struct stat& info) {
  return cached.size == info.st_size && cached.mtime == nanoseconds(info.st_mtim) &&
         cached.ctime == nanoseconds(info.st_ctim) &&
         cached.inode == static_cast<std::int64_t>(info.st_ino);
}

// A folder's record: a checksum (of its path and the rest), then its start,
// tree and entries, numbers in the machine's own order (the cache never
// leaves it).
class Writer {
 public:
  template <typename T>
  void put(const T& value) {
    const auto* bytes = reinterpret_cast<const char*>(&value);
    out_.append(bytes, sizeof value);
  }
  void put(const git_oid& oid) { out_.append(reinterpret_cast<const char*>(oid.id), 20); }
  void put(const std::string& text) {
    put(static_cast<std::uint32_t>(text.size()));
    out_ += text;
  }
  std::string& bytes() { return out_; }

 private:
  std::string out_;
};

class Reader {
 public:
  Reader(const char* at, std::size_t size) : at_(at), end_(at + size) {}
  template <typename T>
  bool get(T& value) {
    if (static_cast<std::size_t>(end_ - at_) < sizeof value) return false;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return true;
  }
  bool get(git_oid& oid) {
    if (end_ - at_ < GIT_OID_RAWSZ) return false;
    git_oid_fromraw(&oid, reinterpret_cast<const unsigned char*>(at_));
    at_ += GIT_OID_RAWSZ;
    return true;
  }
  bool get(std::string& text) {
    std::uint32_t size = 0;
    if (!get(size) || static_cast<std::size_t>(end_ - at_) < size) return false;
    text.assign(at_, size);
    at_ += size;
    return true;
  }
  bool done() const { return at_ == end_; }

 private:
  const char* at_;
  const char* end_;
};

std::uint32_t checksum(const std::string& key, const char* rest, std::size_t size) {
  uLong sum = crc32(0, reinterpret_cast<const Bytef*>(key.data()), static_cast<uInt>(key.size()));
  sum = crc32(sum, reinterpret_cast<const Bytef*>(rest), static_cast<uInt>(size));
  return static_cast<std::uint32_t>(sum);
}

std::string encode(const std::string& key, const CachedFolder& folder) {
  Writer body;
  body.put(std::uint32_t{0});  // the checksum, filled in below
  body.put(folder.start);
  body.put(folder.tree);
  body.put(static_cast<std::uint32_t>(folder.entries.size()));
  for (const CachedEntry& entry : folder.entries) {
    body.put(entry.name);
    body.put(entry.mode);
    body.put(entry.size);
    body.put(entry.mtime);
    body.put(entry.ctime);
    body.put(entry.inode);
    body.put(entry.oid);
  }
  std::string& bytes = body.bytes();
  const std::uint32_t sum = checksum(key, bytes.data() + 4, bytes.size() - 4);
  std::memcpy(bytes.data(), &sum, sizeof sum);
  return bytes;
}

std::optional<CachedFolder> decode(const std::string& key, const char* data, std::size_t size) {
  Reader in(data, size);
  std::uint32_t sum = 0, count = 0;
  CachedFolder folder;
  if (!in.get(sum) || sum != checksum(key, data + 4, size - 4)) return std::nullopt;
  if (!in.get(folder.start) || !in.get(folder.tree) || !in.get(count)) return std::nullopt;
  // Each entry takes at least its fixed part: a count beyond what the
  // record holds is damage, not a reason to reserve memory.
  if (count > size / 60) return std::nullopt;
  folder.entries.resize(count);
  for (CachedEntry& entry : folder.entries) {
    if (!in.get(entry.name) || !in.get(entry.mode) || !in.get(entry.size) || !in.get(entry.mtime) ||
        !in.get(entry.ctime) || !in.get(entry.inode) || !in.get(entry.oid)) {
      return std::nullopt;
    }
  }
  if (!in.done()) return std::nullopt;
  return folder;
}

bool damage(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

}  // namespace

std::int64_t fileClockNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return nanoseconds(now);
}

bool olderThan(const timespec& time, std::int64_t moment) {
  const std::int64_t step = stepOf(time);
  return nanoseconds(time) < moment - moment % step;
}

const CachedEntry* CachedFolder::find(const std::string& name) const {
  const auto found = std::lower_bound(
      entries.begin(), entries.end(), name,
      [](const CachedEntry& entry, const std::string& key) { return entry.name < key; });
  return found != entries.end() && found->name == name ? &*found : nullptr;
}

const CachedEntry* CachedFolder::trusted(const std::string& name, const struct stat& info) const {
  if (start <= 0) return nullptr;
  const CachedEntry* found = find(name);
  // A folder's record holds its tree and no times: never one of a file. A
  // tree with a file's times is a large file kept in chunks.
  if (found == nullptr || (found->mode == GIT_FILEMODE_TREE && found->inode == 0) ||
      !sameStat(*found, info)) {
    return nullptr;
  }
  if (!olderThan(info.st_mtim, start) || !olderThan(info.st_ctim, start)) return nullptr;
  return found;
}

CachedEntry cachedOf(const std::string& name, std::uint32_t mode, const struct stat& info,
                     const git_oid& oid) {
  return {name,
          mode,
          static_cast<std::int64_t>(info.st_size),
          nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim),
          static_cast<std::int64_t>(info.st_ino),
          oid};
}

std::unique_ptr<StatCache> StatCache::open(const std::string& path, bool writable) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (writable) {
      // Made by hand, owner-only: SQLite would follow the umask, and gives
      // its journal the file's own mode.
      const int fd =
          ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, Privacy::fileMode);
      if (fd >= 0) ::close(fd);
    }
    sqlite3* db = nullptr;
    const int flags = (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      return std::unique_ptr<StatCache>(new StatCache(nullptr, path));
    }
    sqlite3_busy_timeout(db, kBusyMilliseconds);
    std::unique_ptr<StatCache> cache(new StatCache(db, path));
    cache->writable_ = writable;
    int layout = -1;
    sqlite3_stmt* version = nullptr;
    int code = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &version, nullptr);
    if (code == SQLITE_OK && (code = sqlite3_step(version)) == SQLITE_ROW) {
      layout = sqlite3_column_int(version, 0);
    }
    sqlite3_finalize(version);
    if (layout == kLayout) return cache;
    if (writable && layout == 0 &&
        sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
        sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(kLayout)).c_str(), nullptr,
                     nullptr, nullptr) == SQLITE_OK) {
      return cache;
    }
    // An earlier version's cache (not SQLite's at all, or another layout),
    // or a damaged one: everything is read once more, into a new one.
    cache->damaged_ = writable && (damage(code) || layout > 0);
    if (!writable || !cache->damaged_) return cache;
    cache.reset();
  }
  return std::unique_ptr<StatCache>(new StatCache(nullptr, path));
}

StatCache::~StatCache() {
  if (inTransaction_) rollback();
  for (sqlite3_stmt* prepared : statements_) sqlite3_finalize(prepared);
  if (db_ != nullptr) sqlite3_close(db_);
  if (damaged_) {
    ::unlink(path_.c_str());
    ::unlink((path_ + "-journal").c_str());
  }
}

sqlite3_stmt* StatCache::statement(int which) {
  if (db_ == nullptr || damaged_) return nullptr;
  if (statements_[which] == nullptr) {
    const int code = sqlite3_prepare_v2(db_, kSql[which], -1, &statements_[which], nullptr);
    if (code != SQLITE_OK) {
      failed(code);
      return nullptr;
    }
  }
  sqlite3_stmt* prepared = statements_[which];
  sqlite3_reset(prepared);
  sqlite3_clear_bindings(prepared);
  return prepared;
}

void StatCache::failed(int code) {
  if (damage(code)) damaged_ = true;
}

std::optional<CachedFolder> StatCache::folder(const std::string& relative) {
  sqlite3_stmt* get = statement(kGetFolder);
  if (get == nullptr) return std::nullopt;
  sqlite3_bind_blob(get, 1, relative.data(), static_cast<int>(relative.size()), SQLITE_STATIC);
  const int code = sqlite3_step(get);
  std::optional<CachedFolder> found;
  if (code == SQLITE_ROW) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(get, 0));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(get, 0));
    if (data != nullptr && size >= 4) found = decode(relative, data, size);
  } else if (code != SQLITE_DONE) {
    failed(code);
  }
  sqlite3_reset(get);
  return found;
}

std::optional<std::string> StatCache::meta(const std::string& key) {
  sqlite3_stmt* get = statement(kGetMeta);
  if (get == nullptr) return std::nullopt;
  sqlite3_bind_text(get, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  std::optional<std::string> value;
  const int code = sqlite3_step(get);
  if (code == SQLITE_ROW) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(get, 0));
    value.emplace(data != nullptr ? data : "",
                  static_cast<std::size_t>(sqlite3_column_bytes(get, 0)));
  } else if (code != SQLITE_DONE) {
    failed(code);
  }
  sqlite3_reset(get);
  return value;
}

void StatCache::setMeta(const std::string& key, const std::string& value) {
  // Written only when it changed: an unchanged snapshot writes nothing.
  if (meta(key) == value) return;
  sqlite3_stmt* put = statement(kPutMeta);
  if (put == nullptr) return;
  sqlite3_bind_text(put, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
  sqlite3_bind_blob(put, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
  if (const int code = sqlite3_step(put); code != SQLITE_DONE) failed(code);
  sqlite3_reset(put);
}

std::optional<RootPlace> StatCache::root() {
  const auto value = meta(kRootKey);
  RootPlace place;
  if (!value || value->size() != sizeof place.device + sizeof place.inode + 1) return std::nullopt;
  std::memcpy(&place.device, value->data(), sizeof place.device);
  std::memcpy(&place.inode, value->data() + sizeof place.device, sizeof place.inode);
  place.mountPoint = value->back() != 0;
  return place;
}

void StatCache::setRoot(const RootPlace& place) {
  Writer value;
  value.put(place.device);
  value.put(place.inode);
  value.put(static_cast<char>(place.mountPoint ? 1 : 0));
  setMeta(kRootKey, value.bytes());
}

std::optional<git_oid> StatCache::tip() {
  const auto value = meta(kTipKey);
  if (!value || value->size() != GIT_OID_RAWSZ) return std::nullopt;
  git_oid oid;
  git_oid_fromraw(&oid, reinterpret_cast<const unsigned char*>(value->data()));
  return oid;
}

void StatCache::setTip(const git_oid& tip) {
  setMeta(kTipKey, std::string(reinterpret_cast<const char*>(tip.id), GIT_OID_RAWSZ));
}

void StatCache::begin() {
  if (damaged_ && writable_ && !inTransaction_) {
    // Found damaged by what was read so far: this snapshot's records go
    // into a new one.
    for (sqlite3_stmt*& prepared : statements_) {
      sqlite3_finalize(prepared);
      prepared = nullptr;
    }
    sqlite3_close(db_);
    db_ = nullptr;
    ::unlink(path_.c_str());
    ::unlink((path_ + "-journal").c_str());
    std::unique_ptr<StatCache> fresh = open(path_, true);
    std::swap(db_, fresh->db_);
    damaged_ = fresh->damaged_;
  }
  if (db_ == nullptr || damaged_ || inTransaction_) return;
  const int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (code == SQLITE_OK) {
    inTransaction_ = true;
  } else {
    failed(code);
  }
}

void StatCache::put(const std::string& relative, const CachedFolder& folder) {
  if (!inTransaction_) return;
  sqlite3_stmt* put = statement(kPutFolder);
  if (put == nullptr) return;
  const std::string record = encode(relative, folder);
  sqlite3_bind_blob(put, 1, relative.data(), static_cast<int>(relative.size()), SQLITE_STATIC);
  sqlite3_bind_blob(put, 2, record.data(), static_cast<int>(record.size()), SQLITE_STATIC);
  if (const int code = sqlite3_step(put); code != SQLITE_DONE) failed(code);
  sqlite3_reset(put);
}

void StatCache::removeFolder(const std::string& relative) {
  if (!inTransaction_) return;
  if (sqlite3_stmt* remove = statement(kRemoveFolder)) {
    sqlite3_bind_blob(remove, 1, relative.data(), static_cast<int>(relative.size()), SQLITE_STATIC);
    if (const int code = sqlite3_step(remove); code != SQLITE_DONE) failed(code);
    sqlite3_reset(remove);
  }
  sqlite3_stmt* remove = statement(kRemoveBelow);
  if (remove == nullptr) return;
  // Every path below "a/b" begins "a/b/", and sorts before "a/b0" ('0' follows
  // '/'); below the root, every path but its own (no path is that long).
  const std::string from = relative.empty() ? std::string(1, '\0') : relative + "/";
  const std::string to = relative.empty() ? std::string(4097, '\xff') : relative + "0";
  sqlite3_bind_blob(remove, 1, from.data(), static_cast<int>(from.size()), SQLITE_STATIC);
  sqlite3_bind_blob(remove, 2, to.data(), static_cast<int>(to.size()), SQLITE_STATIC);
  if (const int code = sqlite3_step(remove); code != SQLITE_DONE) failed(code);
  sqlite3_reset(remove);
}

void StatCache::commit() {
  if (!inTransaction_) return;
  inTransaction_ = false;
  if (damaged_) {
    (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // removed when closed
    return;
  }
  if (const int code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); code != SQLITE_OK) {
    failed(code);
    // Dropped: what is not kept is read again next time.
    (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void StatCache::rollback() {
  if (!inTransaction_) return;
  inTransaction_ = false;
  (void)sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);  // nothing to keep either way
}

}  // namespace tarvine::history
