#include "shared/RootMatch.h"

#include "foundation/UnicodeText.h"

namespace tarvine {

static_assert(sizeof(RootMatch) == 5, "five one-byte fields");

RootMatch matchTarget(const FileURL& target, const WatchedRootsManifest& manifest,
                      FileSystem& fileSystem) {
  return matchTarget(target, manifest, RootIndex(manifest), fileSystem);
}

RootMatch matchTarget(const FileURL& target, const WatchedRootsManifest& manifest,
                      const RootIndex& index, FileSystem& fileSystem) {
  const std::string path = fileSystem.resolvingSymlinksInPath(target.standardized()).path();
  RootMatch match;
  match.isDirectory = target.hasDirectoryPath();
  auto found = index.rootContaining(manifest, path);
  if (!found) return match;

  const WatchedRootsManifest::Root& root = manifest.roots[found->index];
  match.isRoot = found->isRoot;
  match.isEnabled = !root.isPaused;
  match.isWatched = true;
  match.mode = root.mode && UnicodeText::canonicallyEqual(*root.mode, "manual")
                   ? RootMode::manual
                   : RootMode::automatic;
  return match;
}

}  // namespace tarvine
