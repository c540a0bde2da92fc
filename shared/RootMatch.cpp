#include "shared/RootMatch.h"

#include "foundation/UnicodeText.h"

namespace tarvine {

static_assert(sizeof(RootMatch) == 5, "five one-byte fields");

RootMatch matchTarget(const FileURL& target, const WatchedRootsManifest& manifest,
                      FileSystem& fileSystem) {
  const std::string path = fileSystem.resolvingSymlinksInPath(target.standardized()).path();
  RootMatch match;
  match.isDirectory = target.hasDirectoryPath();
  auto index = manifest.indexOfRootContaining(path);
  if (!index) return match;

  const WatchedRootsManifest::Root& root = manifest.roots[*index];
  match.isRoot = UnicodeText::canonicallyEqual(path, root.path);
  match.isEnabled = !root.isPaused;
  match.isWatched = true;
  match.mode = root.mode && UnicodeText::canonicallyEqual(*root.mode, "manual")
                   ? RootMode::manual
                   : RootMode::automatic;
  return match;
}

}  // namespace tarvine
