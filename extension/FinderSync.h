#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/FileURL.h"
#include "platform/Services.h"
#include "shared/Identifiers.h"
#include "shared/ManifestLoader.h"

namespace tarvine {

// The object the file manager creates and drives. It registers the user's home
// directory as the scope it serves and keeps the manifest cache.
class FinderSync {
 public:
  FinderSync(const Services& services, Identifiers& identifiers);
  FinderSync(const FinderSync&) = delete;
  FinderSync& operator=(const FinderSync&) = delete;

  std::string toolbarItemName() const;
  std::string toolbarItemToolTip() const;

  // The current watched-roots manifest, or null; see ManifestLoader.
  std::shared_ptr<const WatchedRootsManifest> loadManifest();

  const std::shared_ptr<const WatchedRootsManifest>& cachedManifest() const {
    return manifestLoader_.cachedManifest();
  }
  const std::optional<Timestamp>& cachedManifestDate() const {
    return manifestLoader_.cachedManifestDate();
  }

 private:
  FileURL homeDirectoryURL() const;

  Services services_;
  Identifiers& identifiers_;
  ManifestLoader manifestLoader_;
};

}  // namespace tarvine
