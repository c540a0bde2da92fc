#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/WatchedRootsManifest.h"

namespace tarvine {

// What matching needs of a manifest's root paths, worked out once when the
// manifest is loaded: each path's length, side by side so that a scan can rule
// most roots out without touching them, and the few paths whose canonical
// (NFC) form differs from their bytes or that are not valid UTF-8. Every other
// path is matched as it is written, so a lookup normalises only the target.
class RootIndex {
 public:
  explicit RootIndex(const WatchedRootsManifest& manifest);

  struct Containing {
    std::size_t index;  // of the first root, in file order, that contains the path
    bool isRoot;        // the path is that root's own path
  };

  // `manifest` must be the one the index was made from.
  std::optional<Containing> rootContaining(const WatchedRootsManifest& manifest,
                                           std::string_view path) const;

 private:
  struct Special {
    std::size_t index;
    std::string normalized;  // NFC form, or the bytes when not valid UTF-8
    bool invalid;
  };
  static constexpr std::uint32_t kSpecial = 0x8000'0000u;

  const Special& special(std::size_t index) const;
  std::optional<Containing> bytewise(const WatchedRootsManifest& manifest,
                                     std::string_view path) const;

  // Per root: the length of the text it is compared as, or kSpecial.
  std::vector<std::uint32_t> lengths_;
  std::vector<Special> specials_;  // in root order
};

}  // namespace tarvine
