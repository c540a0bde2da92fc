#include "window/FileSizes.h"

#include <algorithm>

#include "window/HistoryModel.h"

namespace tarvine::window {

bool FileSizes::ask(const std::string& path) {
  const history::VersionFile* file = HistoryModel::fileAt(files_, path);
  if (file == nullptr || file->sized || !asked_.insert(path).second) return false;
  wanted_.push_back(path);
  if (reading_ || due_) return false;
  due_ = true;
  return true;
}

std::vector<std::string> FileSizes::take() {
  // The rows asked last are those in sight now: scrolled past, the others
  // can wait.
  const std::size_t count = std::min(wanted_.size(), kBatch);
  std::vector<std::string> paths(wanted_.rbegin(), wanted_.rbegin() + count);
  wanted_.resize(wanted_.size() - count);
  reading_ = !paths.empty();
  due_ = false;
  return paths;
}

bool FileSizes::arrived(const std::vector<std::string>& paths,
                        const Result<std::vector<std::optional<std::uint64_t>>>& sizes) {
  reading_ = false;
  if (sizes.ok() && sizes->size() == paths.size()) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const history::VersionFile* found = HistoryModel::fileAt(files_, paths[i]);
      if (found == nullptr || !(*sizes)[i]) continue;
      history::VersionFile& file = files_[static_cast<std::size_t>(found - files_.data())];
      file.size = *(*sizes)[i];
      file.sized = true;
    }
  }
  due_ = !wanted_.empty();
  return due_;
}

}  // namespace tarvine::window
