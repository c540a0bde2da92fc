// A disk with a volatile write cache that can lose power, for the fault
// campaign: `power-cut-disk MOUNTPOINT BYTES`. It holds two files:
//
//   /disk     BYTES long. Writes land in the cache; an fsync of the file (the
//             loop device's cache flush) writes the cache onto the disk.
//   /control  one command per write; a read tells "flushes F writes W
//             frozen 0|1 cached B" (counts since the last arm or reset).
//
// Commands:
//   load PATH             the disk becomes the image in PATH, the cache empty
//   save PATH             the disk (without the cache) into PATH
//   arm FLUSH WRITE PID SEED
//                         counts start again; at the FLUSH-th flush or the
//                         WRITE-th write (0: never) the power is cut
//   cut                   the power is cut now (killing nobody)
//   reset                 the power comes back: the cache is gone, nothing armed
//
// When the power is cut, the cached writes are lost (with SEED other than 0, a
// random half of the cached blocks had reached the disk first, as a disk that
// reorders its cache might have written them), every later write and flush is
// dropped while answering success, and PID (negative: a process group) is
// killed at that moment, so that it can report nothing more.

#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::uint64_t kBlock = 4096;
constexpr const char* kDisk = "/disk";
constexpr const char* kControl = "/control";
constexpr std::size_t kControlSize = 4096;

struct Disk {
  std::vector<char> platter;
  std::unordered_map<std::uint64_t, std::vector<char>> cache;  // block index -> block
  std::uint64_t flushes = 0;
  std::uint64_t writes = 0;
  std::uint64_t cutAtFlush = 0;
  std::uint64_t cutAtWrite = 0;
  pid_t victim = 0;
  std::uint32_t seed = 0;
  bool frozen = false;
};

Disk gDisk;

void disarm() {
  gDisk.flushes = gDisk.writes = gDisk.cutAtFlush = gDisk.cutAtWrite = 0;
  gDisk.victim = 0;
  gDisk.seed = 0;
}

void writeBack() {
  for (const auto& [index, block] : gDisk.cache) {
    std::memcpy(gDisk.platter.data() + index * kBlock, block.data(), kBlock);
  }
  gDisk.cache.clear();
}

// `armed`: the cut the test armed, which kills its victim; one the test asks
// for afterwards kills nobody (its victim may be gone, its pid reused).
void cut(bool armed) {
  if (gDisk.frozen) return;
  if (gDisk.seed != 0) {
    std::mt19937 random(gDisk.seed);
    std::vector<std::uint64_t> blocks;
    for (const auto& entry : gDisk.cache) blocks.push_back(entry.first);
    std::sort(blocks.begin(), blocks.end());  // the same seed, the same blocks
    for (std::uint64_t index : blocks) {
      if (random() % 2 == 0) {
        std::memcpy(gDisk.platter.data() + index * kBlock, gDisk.cache[index].data(), kBlock);
      }
    }
  }
  gDisk.frozen = true;
  if (armed && gDisk.victim != 0) ::kill(gDisk.victim, SIGKILL);
}

int getattr(const char* path, struct stat* info, fuse_file_info*) {
  std::memset(info, 0, sizeof *info);
  const std::string name = path;
  if (name == "/") {
    info->st_mode = S_IFDIR | 0755;
    info->st_nlink = 2;
  } else if (name == kDisk) {
    info->st_mode = S_IFREG | 0600;
    info->st_nlink = 1;
    info->st_size = static_cast<off_t>(gDisk.platter.size());
  } else if (name == kControl) {
    info->st_mode = S_IFREG | 0600;
    info->st_nlink = 1;
    info->st_size = kControlSize;
  } else {
    return -ENOENT;
  }
  return 0;
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  if (std::string(path) != "/") return -ENOENT;
  for (const char* name : {".", "..", kDisk + 1, kControl + 1}) {
    fill(buffer, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

int open(const char* path, fuse_file_info* file) {
  const std::string name = path;
  if (name != kDisk && name != kControl) return -ENOENT;
  // Every read and write reaches us: no page cache of the kernel's holds a
  // block the power cut should have lost.
  file->direct_io = 1;
  return 0;
}

std::string status() {
  std::ostringstream text;
  text << "flushes " << gDisk.flushes << " writes " << gDisk.writes << " frozen "
       << (gDisk.frozen ? 1 : 0) << " cached " << gDisk.cache.size() << "\n";
  return text.str();
}

int read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (std::string(path) == kControl) {
    const std::string text = status();
    if (static_cast<std::size_t>(offset) >= text.size()) return 0;
    const std::size_t count = std::min(size, text.size() - static_cast<std::size_t>(offset));
    std::memcpy(buffer, text.data() + offset, count);
    return static_cast<int>(count);
  }
  const std::uint64_t end = std::min<std::uint64_t>(offset + size, gDisk.platter.size());
  std::uint64_t at = static_cast<std::uint64_t>(offset);
  while (at < end) {
    const std::uint64_t index = at / kBlock;
    const std::uint64_t within = at % kBlock;
    const std::uint64_t count = std::min(kBlock - within, end - at);
    const auto cached = gDisk.cache.find(index);
    const char* from =
        cached != gDisk.cache.end() ? cached->second.data() + within : gDisk.platter.data() + at;
    std::memcpy(buffer + (at - offset), from, count);
    at += count;
  }
  return static_cast<int>(end > static_cast<std::uint64_t>(offset) ? end - offset : 0);
}

int command(const std::string& line) {
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  if (verb == "load" || verb == "save") {
    std::string file;
    std::getline(words >> std::ws, file);
    if (verb == "save") {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out.write(gDisk.platter.data(), static_cast<std::streamsize>(gDisk.platter.size()));
      return out.good() ? 0 : -EIO;
    }
    std::ifstream in(file, std::ios::binary);
    std::vector<char> image(gDisk.platter.size());
    if (!in.read(image.data(), static_cast<std::streamsize>(image.size()))) return -EIO;
    gDisk.platter = std::move(image);
    gDisk.cache.clear();
    gDisk.frozen = false;
    disarm();
    return 0;
  }
  if (verb == "arm") {
    std::uint64_t flush = 0, write = 0;
    long pid = 0;
    std::uint32_t seed = 0;
    if (!(words >> flush >> write >> pid >> seed)) return -EINVAL;
    disarm();
    gDisk.cutAtFlush = flush;
    gDisk.cutAtWrite = write;
    gDisk.victim = static_cast<pid_t>(pid);
    gDisk.seed = seed;
    return 0;
  }
  if (verb == "cut") {
    cut(false);
    return 0;
  }
  if (verb == "reset") {
    gDisk.cache.clear();
    gDisk.frozen = false;
    disarm();
    return 0;
  }
  return -EINVAL;
}

int write(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info*) {
  if (std::string(path) == kControl) {
    const int done = command(std::string(buffer, size));
    return done == 0 ? static_cast<int>(size) : done;
  }
  if (static_cast<std::uint64_t>(offset) + size > gDisk.platter.size()) return -ENOSPC;
  ++gDisk.writes;
  if (gDisk.cutAtWrite != 0 && gDisk.writes == gDisk.cutAtWrite) cut(true);
  if (gDisk.frozen) return static_cast<int>(size);  // lost with the power
  std::uint64_t at = static_cast<std::uint64_t>(offset);
  const std::uint64_t end = at + size;
  while (at < end) {
    const std::uint64_t index = at / kBlock;
    const std::uint64_t within = at % kBlock;
    const std::uint64_t count = std::min(kBlock - within, end - at);
    auto [block, added] = gDisk.cache.try_emplace(index);
    if (added) {
      const char* platter = gDisk.platter.data() + index * kBlock;
      block->second.assign(platter, platter + kBlock);
    }
    std::memcpy(block->second.data() + within, buffer + (at - offset), count);
    at += count;
  }
  return static_cast<int>(size);
}

int fsync(const char* path, int, fuse_file_info*) {
  if (std::string(path) != kDisk) return 0;
  ++gDisk.flushes;
  if (gDisk.cutAtFlush != 0 && gDisk.flushes == gDisk.cutAtFlush) cut(true);
  if (!gDisk.frozen) writeBack();
  return 0;
}

int truncate(const char* path, off_t, fuse_file_info*) {
  return std::string(path) == kControl ? 0 : -EPERM;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s MOUNTPOINT BYTES\n", argv[0]);
    return 2;
  }
  const std::uint64_t bytes = std::strtoull(argv[2], nullptr, 10);
  if (bytes == 0 || bytes % kBlock != 0) {
    std::fprintf(stderr, "%s: the size is a multiple of %llu\n", argv[0],
                 static_cast<unsigned long long>(kBlock));
    return 2;
  }
  gDisk.platter.assign(bytes, '\0');
  fuse_operations operations{};
  operations.getattr = getattr;
  operations.readdir = readdir;
  operations.open = open;
  operations.read = read;
  operations.write = write;
  operations.fsync = fsync;
  operations.truncate = truncate;
  // Foreground and one thread: requests are handled in the order they come,
  // so that the counts are those of the kernel's requests, one at a time.
  char* args[] = {argv[0],
                  argv[1],
                  const_cast<char*>("-f"),
                  const_cast<char*>("-s"),
                  const_cast<char*>("-o"),
                  const_cast<char*>("fsname=tarvine-power-cut,subtype=tarvine-power-cut"),
                  nullptr};
  return fuse_main(6, args, &operations, nullptr);
}
