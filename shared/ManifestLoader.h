#pragma once

#include <memory>
#include <optional>

#include "foundation/Timestamp.h"
#include "platform/FileSystem.h"
#include "shared/Identifiers.h"
#include "shared/RootIndex.h"
#include "shared/WatchedRootsManifest.h"

namespace tarvine {

// A decoded manifest with what matching needs of it, made together once.
struct PreparedManifest {
  explicit PreparedManifest(WatchedRootsManifest decoded)
      : manifest(std::move(decoded)), index(manifest) {}

  const WatchedRootsManifest manifest;
  const RootIndex index;
};

// Reads "roots.json" from the shared container and keeps the last decoded
// manifest, reading the file again only when its modification date differs
// from the one recorded with the cached copy.
//
// Cache states: Empty (neither field), Dated (both), Undated (a manifest but
// no date; never served). Calls must not overlap: there is no lock.
class ManifestLoader {
 public:
  static constexpr std::string_view manifestFileName = "roots.json";

  ManifestLoader(Identifiers& identifiers, FileSystem& fileSystem);

  // The current manifest, or null when there is none. The manifest is shared
  // and immutable, so later changes to the cache never reach the caller's copy.
  std::shared_ptr<const WatchedRootsManifest> loadManifest();
  // The same, with its matching index.
  std::shared_ptr<const PreparedManifest> loadPreparedManifest();

  // The cache as it stands, for tests to inspect.
  std::shared_ptr<const WatchedRootsManifest> cachedManifest() const;
  const std::optional<Timestamp>& cachedManifestDate() const { return cachedManifestDate_; }

 private:
  Identifiers& identifiers_;
  FileSystem& fileSystem_;
  std::shared_ptr<const PreparedManifest> cachedManifest_;
  std::optional<Timestamp> cachedManifestDate_;
  bool loading_ = false;  // checks that calls do not overlap
};

}  // namespace tarvine
