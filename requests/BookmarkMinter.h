#pragma once

#include <optional>
#include <string_view>

#include "foundation/Base64.h"
#include "foundation/FileURL.h"
#include "platform/Bookmarks.h"
#include "platform/SystemLog.h"

namespace tarvine {

// Makes the bookmark that travels with an enable request, so that the main
// application can reach the folder from its own sandbox.
class BookmarkMinter {
 public:
  static constexpr std::string_view mintedLine =
      "Tarvine: extension minted a bookmark for the clicked folder";
  static constexpr std::string_view failedLine =
      "Tarvine: extension could not mint a bookmark; the app will ask instead";

  BookmarkMinter(Bookmarks& bookmarks, SystemLog& log) : bookmarks_(bookmarks), log_(log) {}

  // The bookmark bytes, or absent. Writes exactly one of the two lines per call.
  std::optional<Data> mintBookmark(const FileURL& target);

 private:
  Bookmarks& bookmarks_;
  SystemLog& log_;
};

}  // namespace tarvine
