#include "history/StatCache.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <vector>

namespace tarvine::history {
namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

std::int64_t nanoseconds(const timespec& time) {
  return time.tv_sec * kNanosecondsPerSecond + time.tv_nsec;
}

}  // namespace

bool unchanged(const CachedFile& cached, const struct stat& info) {
  return cached.size == info.st_size && cached.mtime == nanoseconds(info.st_mtim) &&
         cached.ctime == nanoseconds(info.st_ctim) &&
         cached.inode == static_cast<std::int64_t>(info.st_ino);
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
    cache.reserve(json.size());
    for (const auto& [name, entry] : json.items()) {
      // The blob's id as its raw bytes: no text to make or parse per file.
      const auto& id = entry.at(4).get_binary();
      if (id.size() != GIT_OID_RAWSZ) throw nlohmann::json::other_error::create(0, "id", nullptr);
      CachedFile& file = cache[name];
      file = {entry.at(0), entry.at(1), entry.at(2), entry.at(3), {}};
      git_oid_fromraw(&file.blob, id.data());
    }
  } catch (const nlohmann::json::exception&) {
    cache.clear();
  }
  return cache;
}

void saveCache(const std::string& path, const StatCache& cache) {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [name, entry] : cache) {
    json[name] = {entry.size, entry.mtime, entry.ctime, entry.inode,
                  nlohmann::json::binary({entry.blob.id, entry.blob.id + GIT_OID_RAWSZ})};
  }
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
