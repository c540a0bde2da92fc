#include "platform/linux/LinuxBookmarks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <cstdint>

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

struct Identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::optional<std::int64_t> born;
};

// The file's identity, following links as a path lookup does.
std::optional<Identity> identityOf(const std::string& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_INO | STATX_BTIME, &info) != 0) return std::nullopt;
  Identity identity;
  identity.device = ::makedev(info.stx_dev_major, info.stx_dev_minor);
  identity.inode = info.stx_ino;
  if (info.stx_mask & STATX_BTIME) {
    identity.born = std::int64_t{info.stx_btime.tv_sec} * 1'000'000'000 + info.stx_btime.tv_nsec;
  }
  return identity;
}

}  // namespace

bool LinuxBookmarks::startAccessing(const FileURL&) { return false; }

void LinuxBookmarks::stopAccessing(const FileURL&) {}

std::optional<Data> LinuxBookmarks::bookmarkData(const FileURL& url) {
  const std::string path = url.path();
  auto identity = identityOf(path);
  if (!identity) return std::nullopt;
  return encode(Record{path, identity->device, identity->inode, identity->born});
}

Data LinuxBookmarks::encode(const Record& record) {
  // The path comes last and runs to the end, so it may hold any byte.
  // The birth line is optional, so records made before it still read.
  std::string text = std::string(magic) + "device=" + std::to_string(record.device) +
                     "\ninode=" + std::to_string(record.inode) + "\n";
  if (record.born) text += "born=" + std::to_string(*record.born) + "\n";
  text += "path=" + record.path;
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
  if (!inode) return std::nullopt;
  if (text.substr(pos, 5) == "born=") {
    auto born = readNumber(text, pos, "born");
    if (!born || *born > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    record.born = static_cast<std::int64_t>(*born);
  }
  if (text.substr(pos, 5) != "path=") return std::nullopt;
  record.device = *device;
  record.inode = *inode;
  record.path = std::string(text.substr(pos + 5));
  if (record.path.empty() || record.path.front() != '/') return std::nullopt;
  return record;
}

std::optional<std::string> LinuxBookmarks::resolve(const Data& bytes) {
  auto record = decode(bytes);
  if (!record) return std::nullopt;
  auto now = identityOf(record->path);
  if (!now || now->device != record->device || now->inode != record->inode) return std::nullopt;
  // A folder made anew can reuse the inode of one that was removed.
  if (record->born && now->born != record->born) return std::nullopt;
  return record->path;
}

}  // namespace tarvine
