#include "requests/BookmarkMinter.h"

namespace tarvine {

std::optional<Data> BookmarkMinter::mintBookmark(const FileURL& target) {
  const bool accessing = bookmarks_.startAccessing(target);
  // Attempted whatever the access answer was; the platform decides.
  std::optional<Data> bookmark = bookmarks_.bookmarkData(target);
  log_.write(bookmark ? mintedLine : failedLine);
  if (accessing) bookmarks_.stopAccessing(target);
  return bookmark;
}

}  // namespace tarvine
