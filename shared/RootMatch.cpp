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
  match.mode = modeOf(root);
  return match;
}

RootMode modeOf(const WatchedRootsManifest::Root& root) {
  return root.mode && UnicodeText::canonicallyEqual(*root.mode, rawValue(RootMode::manual))
             ? RootMode::manual
             : RootMode::automatic;
}

std::string_view rawValue(RootMode mode) {
  return mode == RootMode::manual ? "manual" : "automatic";
}

std::optional<RootMode> rootMode(std::string_view text) {
  for (RootMode mode : {RootMode::automatic, RootMode::manual}) {
    if (UnicodeText::canonicallyEqual(text, rawValue(mode))) return mode;
  }
  return std::nullopt;
}

}  // namespace tarvine
