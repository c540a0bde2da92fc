#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bookmarks.h"

namespace tarvine {

// Linux has no scoped access, so access is never started. A bookmark is a
// small self-describing record of the target's path, device and inode, and its
// birth time where the file system keeps one, which the main application can
// check against the file system before it trusts it. The birth time tells a
// folder from a new one that reused its inode.
class LinuxBookmarks : public Bookmarks {
 public:
  struct Record {
    std::string path;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // Nanoseconds since the epoch; absent where the file system has no birth time.
    std::optional<std::int64_t> born;
  };

  static constexpr std::string_view magic = "tarvine-bookmark 1\n";

  bool startAccessing(const FileURL& url) override;
  void stopAccessing(const FileURL& url) override;
  // Absent when the target cannot be examined.
  std::optional<Data> bookmarkData(const FileURL& url) override;

  static Data encode(const Record& record);
  static std::optional<Record> decode(const Data& bytes);
  // The path of the bookmarked item, while it is still the same file (device,
  // inode and, when recorded, birth time).
  static std::optional<std::string> resolve(const Data& bytes);
};

}  // namespace tarvine
