#include "shared/ManifestLoader.h"

namespace tarvine {

ManifestLoader::ManifestLoader(Identifiers& identifiers, FileSystem& fileSystem)
    : identifiers_(identifiers), fileSystem_(fileSystem) {}

namespace {

std::shared_ptr<const WatchedRootsManifest> manifestOf(
    const std::shared_ptr<const PreparedManifest>& prepared) {
  if (!prepared) return nullptr;
  return std::shared_ptr<const WatchedRootsManifest>(prepared, &prepared->manifest);
}

}  // namespace

std::shared_ptr<const WatchedRootsManifest> ManifestLoader::cachedManifest() const {
  return manifestOf(cachedManifest_);
}

std::shared_ptr<const WatchedRootsManifest> ManifestLoader::loadManifest() {
  return manifestOf(loadPreparedManifest());
}

std::shared_ptr<const PreparedManifest> ManifestLoader::loadPreparedManifest() {
  auto container = identifiers_.sharedContainerURL();
  if (!container) return nullptr;  // the cache is left as it was
  const FileURL location = container->appendingPathComponent(manifestFileName, false);
  const std::optional<Timestamp> currentDate = fileSystem_.contentModificationDate(location);

  if (cachedManifest_ && cachedManifestDate_ == currentDate && currentDate) {
    return cachedManifest_;
  }

  auto content = fileSystem_.readFile(location);
  auto decoded = content.ok() ? WatchedRootsManifest::decode(*content)
                              : Result<WatchedRootsManifest>(content.status());
  if (!decoded.ok()) {
    cachedManifest_.reset();
    cachedManifestDate_.reset();
    return nullptr;
  }
  cachedManifest_ = std::make_shared<const PreparedManifest>(std::move(decoded).value());
  cachedManifestDate_ = currentDate;
  return cachedManifest_;
}

}  // namespace tarvine
