#include "shared/ManifestLoader.h"

#include <cassert>
#include <exception>

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
  // The cache has no lock: overlapping calls are the caller's bug.
  assert(!loading_ && "calls on one extension object must not overlap");
  loading_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{loading_};
  auto container = identifiers_.sharedContainerURL();
  if (!container) return nullptr;  // the cache is left as it was
  const FileURL location = container->appendingPathComponent(manifestFileName, false);
  const std::optional<Timestamp> currentDate = fileSystem_.contentModificationDate(location);

  if (cachedManifest_ && cachedManifestDate_ == currentDate && currentDate) {
    return cachedManifest_;
  }

  // Whatever happens now replaces the cache, so the old manifest goes first.
  // A failure of any kind, running out of memory included, is an absent
  // manifest: nothing read on the way to a menu may throw past the extension.
  cachedManifest_.reset();
  try {
    std::optional<WatchedRootsManifest> decoded;
    {
      // The file's text is let go before the matching index is made.
      auto content = fileSystem_.readFile(location);
      auto result = content.ok() ? WatchedRootsManifest::decode(*content)
                                 : Result<WatchedRootsManifest>(content.status());
      if (result.ok()) decoded = std::move(result).value();
    }
    if (decoded) cachedManifest_ = std::make_shared<const PreparedManifest>(std::move(*decoded));
  } catch (const std::exception&) {
    cachedManifest_.reset();
  }
  if (!cachedManifest_) {
    cachedManifestDate_.reset();
    return nullptr;
  }
  cachedManifestDate_ = currentDate;
  return cachedManifest_;
}

}  // namespace tarvine
