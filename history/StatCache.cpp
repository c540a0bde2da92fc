#include "history/StatCache.h"

#include <time.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

namespace tarvine::history {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
// FAT keeps modification times in steps of two seconds, the coarsest step of
// any file system a root may be on.
constexpr std::int64_t kCoarsestStep = 2 * kNanosecondsPerSecond;
// The cache's keys: one object, the files below "files".
constexpr const char* kStartKey = "start";
constexpr const char* kRootKey = "root";  // [device, inode, mount point]
constexpr const char* kFilesKey = "files";

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

bool sameStat(const CachedFile& cached, const struct stat& info) {
  return cached.size == info.st_size && cached.mtime == nanoseconds(info.st_mtim) &&
         cached.ctime == nanoseconds(info.st_ctim) &&
         cached.inode == static_cast<std::int64_t>(info.st_ino);
}

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

const CachedFile* StatCache::trusted(const std::string& path, const struct stat& info) const {
  if (start <= 0) return nullptr;
  const auto found = files.find(path);
  if (found == files.end() || !sameStat(found->second, info)) return nullptr;
  if (!olderThan(info.st_mtim, start) || !olderThan(info.st_ctim, start)) return nullptr;
  return &found->second;
}

CachedFile cachedOf(const struct stat& info, const git_oid& blob) {
  return {static_cast<std::int64_t>(info.st_size), nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim), static_cast<std::int64_t>(info.st_ino), blob};
}

StatCache loadCache(const std::string& path) {
  StatCache cache;
  std::ifstream in(path, std::ios::binary);
  if (!in) return cache;
  // CBOR, read whole: it is read at every snapshot, and parses several times
  // faster than JSON text.
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  try {
    const nlohmann::json json = nlohmann::json::from_cbor(bytes);
    // A cache of an earlier version, without its start, vouches for nothing.
    if (!json.is_object() || !json.contains(kFilesKey)) return cache;
    const nlohmann::json& files = json.at(kFilesKey);
    cache.files.reserve(files.size());
    for (const auto& [name, entry] : files.items()) {
      // The blob's id as its raw bytes: no text to make or parse per file.
      const auto& id = entry.at(4).get_binary();
      if (id.size() != GIT_OID_RAWSZ) throw nlohmann::json::other_error::create(0, "id", nullptr);
      CachedFile& file = cache.files[name];
      file = {entry.at(0), entry.at(1), entry.at(2), entry.at(3), {}};
      git_oid_fromraw(&file.blob, id.data());
    }
    cache.start = json.at(kStartKey).get<std::int64_t>();
    if (json.contains(kRootKey)) {
      const nlohmann::json& root = json.at(kRootKey);
      cache.root = RootPlace{root.at(0), root.at(1), root.at(2)};
    }
  } catch (const nlohmann::json::exception&) {
    cache = StatCache();
  }
  return cache;
}

void saveCache(const std::string& path, const StatCache& cache) {
  nlohmann::json files = nlohmann::json::object();
  for (const auto& [name, entry] : cache.files) {
    files[name] = {entry.size, entry.mtime, entry.ctime, entry.inode,
                   nlohmann::json::binary({entry.blob.id, entry.blob.id + GIT_OID_RAWSZ})};
  }
  nlohmann::json json{{kStartKey, cache.start}, {kFilesKey, std::move(files)}};
  if (cache.root) json[kRootKey] = {cache.root->device, cache.root->inode, cache.root->mountPoint};
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc | std::ios::binary);
    const std::vector<std::uint8_t> bytes = nlohmann::json::to_cbor(json);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) return;
  }
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace tarvine::history
