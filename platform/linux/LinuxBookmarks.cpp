#include "platform/linux/LinuxBookmarks.h"

#include <sys/stat.h>

#include <charconv>

namespace tarvine {
namespace {

// Reads "NAME=DIGITS\n" at `pos`.
std::optional<std::uint64_t> readNumber(std::string_view text, std::size_t& pos,
                                        std::string_view name) {
  if (text.substr(pos, name.size() + 1) != std::string(name) + "=") return std::nullopt;
  pos += name.size() + 1;
  std::size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return std::nullopt;
  std::uint64_t value = 0;
  auto [ptr, error] = std::from_chars(text.data() + pos, text.data() + end, value);
  if (error != std::errc() || ptr != text.data() + end) return std::nullopt;
  pos = end + 1;
  return value;
}

}  // namespace

bool LinuxBookmarks::startAccessing(const FileURL&) { return false; }

void LinuxBookmarks::stopAccessing(const FileURL&) {}

std::optional<Data> LinuxBookmarks::bookmarkData(const FileURL& url) {
  const std::string path = url.path();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return encode(Record{path, static_cast<std::uint64_t>(info.st_dev),
                       static_cast<std::uint64_t>(info.st_ino)});
}

Data LinuxBookmarks::encode(const Record& record) {
  // The path comes last and runs to the end, so it may hold any byte.
  std::string text = std::string(magic) + "device=" + std::to_string(record.device) +
                     "\ninode=" + std::to_string(record.inode) + "\npath=" + record.path;
  return Data(text.begin(), text.end());
}

std::optional<LinuxBookmarks::Record> LinuxBookmarks::decode(const Data& bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.substr(0, magic.size()) != magic) return std::nullopt;
  std::size_t pos = magic.size();
  Record record;
  auto device = readNumber(text, pos, "device");
  if (!device) return std::nullopt;
  auto inode = readNumber(text, pos, "inode");
  if (!inode || text.substr(pos, 5) != "path=") return std::nullopt;
  record.device = *device;
  record.inode = *inode;
  record.path = std::string(text.substr(pos + 5));
  if (record.path.empty() || record.path.front() != '/') return std::nullopt;
  return record;
}

std::optional<std::string> LinuxBookmarks::resolve(const Data& bytes) {
  auto record = decode(bytes);
  if (!record) return std::nullopt;
  struct stat info {};
  if (::stat(record->path.c_str(), &info) != 0 ||
      static_cast<std::uint64_t>(info.st_dev) != record->device ||
      static_cast<std::uint64_t>(info.st_ino) != record->inode) {
    return std::nullopt;
  }
  return record->path;
}

}  // namespace tarvine
