#include "hosts/glib/FileManagerHost.h"

namespace tarvine {

void FileManagerHost::setDirectoryURLs(const std::vector<FileURL>& directories) {
  scope_ = directories;
}

std::optional<std::vector<FileURL>> FileManagerHost::selectedItemURLs() {
  return current_ != nullptr ? current_->selected : std::nullopt;
}

std::optional<FileURL> FileManagerHost::targetedURL() {
  return current_ != nullptr ? current_->targeted : std::nullopt;
}

bool FileManagerHost::inScope(const FileURL& url) const {
  // Both sides in directory form, so "/home/u" covers "/home/u/x" but not "/home/u2".
  const std::string path = url.path() == "/" ? "/" : url.path() + "/";
  for (const FileURL& directory : scope_) {
    const std::string& prefix = directory.rawPath();
    if (path.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

}  // namespace tarvine
