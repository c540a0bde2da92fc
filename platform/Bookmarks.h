#pragma once

#include <optional>

#include "foundation/Base64.h"
#include "foundation/FileURL.h"

namespace tarvine {

// Scoped access to a location, and bookmarks that let another process reach it.
class Bookmarks {
 public:
  virtual ~Bookmarks() = default;

  // True when access was started; it must then be balanced by stopAccessing.
  virtual bool startAccessing(const FileURL& url) = 0;
  virtual void stopAccessing(const FileURL& url) = 0;
  // Opaque bookmark bytes granting read and write access, or absent on failure.
  virtual std::optional<Data> bookmarkData(const FileURL& url) = 0;
};

}  // namespace tarvine
