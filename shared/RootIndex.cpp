#include "shared/RootIndex.h"

#include <cassert>

#include <algorithm>

#include "foundation/UnicodeText.h"

namespace tarvine {
namespace {

// Whether `root` contains `path`: absent when not, true when the path is the
// root itself, false when the root's directory prefix (its path with a "/"
// added unless it ends in one) begins the path on a character boundary.
inline std::optional<bool> contains(std::string_view path, std::string_view root, bool bytewise) {
  if (path.size() < root.size()) return std::nullopt;
  if (path.compare(0, root.size(), root) != 0) return std::nullopt;
  if (path.size() == root.size()) return true;
  std::size_t end = root.size();
  if (root.empty() || root.back() != '/') {
    if (path[end] != '/') return std::nullopt;
    ++end;
  }
  if (bytewise || UnicodeText::hasPrefixOnBoundary(path, path.substr(0, end))) return false;
  return std::nullopt;
}

}  // namespace

RootIndex::RootIndex(const WatchedRootsManifest& manifest) {
  lengths_.reserve(manifest.roots.size());
  for (std::size_t i = 0; i < manifest.roots.size(); ++i) {
    const std::string& path = manifest.roots[i].path;
    const bool ascii = UnicodeText::isAscii(path);
    std::optional<std::string> normalized;
    if (!ascii) normalized = UnicodeText::nfc(path);
    const bool plain = ascii || (normalized && *normalized == path);
    if (plain && path.size() < kSpecial) {
      lengths_.push_back(static_cast<std::uint32_t>(path.size()));
      continue;
    }
    lengths_.push_back(kSpecial);
    specials_.push_back(Special{i, normalized.value_or(path), !normalized.has_value()});
  }
}

const RootIndex::Special& RootIndex::special(std::size_t index) const {
  return *std::lower_bound(specials_.begin(), specials_.end(), index,
                           [](const Special& s, std::size_t i) { return s.index < i; });
}

std::optional<RootIndex::Containing> RootIndex::rootContaining(const WatchedRootsManifest& manifest,
                                                               std::string_view path) const {
  assert(lengths_.size() == manifest.roots.size() && "an index serves only its own manifest");
  std::optional<std::string> normalizedPath = UnicodeText::nfc(path);
  if (!normalizedPath) return bytewise(manifest, path);
  const std::string_view target = *normalizedPath;

  for (std::size_t i = 0; i < lengths_.size(); ++i) {
    const std::uint32_t length = lengths_[i];
    std::optional<bool> found;
    if (length == kSpecial) {
      const Special& s = special(i);
      // A root that is not valid UTF-8 compares byte for byte with the path as given.
      found =
          s.invalid ? contains(path, s.normalized, true) : contains(target, s.normalized, false);
    } else if (length <= target.size()) {
      found = contains(target, manifest.roots[i].path, false);
    }
    if (found) return Containing{i, *found};
  }
  return std::nullopt;
}

// A path that is not valid UTF-8 compares byte for byte with every root.
std::optional<RootIndex::Containing> RootIndex::bytewise(const WatchedRootsManifest& manifest,
                                                         std::string_view path) const {
  for (std::size_t i = 0; i < manifest.roots.size(); ++i) {
    if (auto found = contains(path, manifest.roots[i].path, true)) return Containing{i, *found};
  }
  return std::nullopt;
}

}  // namespace tarvine
