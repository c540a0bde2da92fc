#pragma once

#include "platform/Bookmarks.h"

namespace tarvine::apple {

// Security-scoped access and bookmarks of NSURL.
class AppleBookmarks : public Bookmarks {
 public:
  bool startAccessing(const FileURL& url) override;
  void stopAccessing(const FileURL& url) override;
  // Security scope only: read and write access, no resource values, relative
  // to no other URL.
  std::optional<Data> bookmarkData(const FileURL& url) override;
};

}  // namespace tarvine::apple
