#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "foundation/FileURL.h"
#include "platform/FileSystem.h"
#include "shared/RootIndex.h"
#include "shared/WatchedRootsManifest.h"

namespace tarvine {

enum class RootMode : std::uint8_t { automatic = 0, manual = 1 };

// A root's mode as its manifest entry gives it: "manual", or else automatic.
RootMode modeOf(const WatchedRootsManifest::Root& root);
// The mode's text in the manifest ("automatic", "manual").
std::string_view rawValue(RootMode mode);
// The mode that `text` names, if it names one.
std::optional<RootMode> rootMode(std::string_view text);

// Where a file-manager item stands among the watched roots. When no root
// contains it, only isDirectory can be true and the mode is automatic.
struct RootMatch {
  bool isDirectory = false;
  bool isRoot = false;
  bool isEnabled = false;
  bool isWatched = false;
  RootMode mode = RootMode::automatic;

  friend bool operator==(const RootMatch&, const RootMatch&) = default;
};

// Places `target` among the roots of `manifest`: its path is standardised and
// its symbolic links resolved; root paths are compared exactly as written.
RootMatch matchTarget(const FileURL& target, const WatchedRootsManifest& manifest,
                      FileSystem& fileSystem);
// The same, with the index prepared when the manifest was loaded.
RootMatch matchTarget(const FileURL& target, const WatchedRootsManifest& manifest,
                      const RootIndex& index, FileSystem& fileSystem);

}  // namespace tarvine
