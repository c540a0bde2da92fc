#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"

namespace tarvine::window {

// The sizes of a version's files, read only for the rows in sight: a
// listing of 100,000 files with their sizes reads 100,000 objects' headers
// (about a second on a history of loose objects) where a screenful shows.
// The window asks for each row it shows without a size; the paths asked
// meanwhile are read together off the interface thread (HistoryModel::
// fileSizes), and the rows shown again once their sizes are in. Used on the
// interface thread only.
class FileSizes {
 public:
  // At most this many paths a reading, the last asked first.
  static constexpr std::size_t kBatch = 256;

  // `files`: the version's files sorted by path, which the sizes go into.
  explicit FileSizes(std::vector<history::VersionFile>& files) : files_(files) {}

  // A row shows `path`: whether a reading should be started (the path is
  // unsized, and no reading is running or about to start: the paths asked
  // meanwhile join it, or the next).
  bool ask(const std::string& path);
  // The paths to read now; a reading runs until `arrived`.
  std::vector<std::string> take();
  // A reading's answer for `paths`, written into the files (a failure
  // leaves them unsized, and not asked again); whether another should be
  // started, for the paths asked meanwhile.
  bool arrived(const std::vector<std::string>& paths,
               const Result<std::vector<std::optional<std::uint64_t>>>& sizes);

 private:
  std::vector<history::VersionFile>& files_;
  std::vector<std::string> wanted_;  // in the order asked
  std::set<std::string> asked_;
  bool reading_ = false, due_ = false;
};

}  // namespace tarvine::window
