#include "shared/RootIndex.h"

#include "foundation/UnicodeText.h"

namespace tarvine {
namespace {

// Whether `root` contains `path`: absent when not, true when the path is the
// root itself, false when the root's directory prefix (its path with a "/"
// added unless it ends in one) begins the path on a character boundary.
std::optional<bool> contains(std::string_view path, std::string_view root, bool bytewise) {
  if (path == root) return true;
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0) return std::nullopt;
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
  for (std::size_t i = 0; i < manifest.roots.size(); ++i) {
    const std::string& path = manifest.roots[i].path;
    if (UnicodeText::isAscii(path)) continue;
    auto normalized = UnicodeText::nfc(path);
    if (normalized && *normalized == path) continue;
    specials_.push_back(Special{i, normalized.value_or(path), !normalized.has_value()});
  }
}

std::optional<RootIndex::Containing> RootIndex::rootContaining(
    const WatchedRootsManifest& manifest, std::string_view path) const {
  // Texts that are not valid UTF-8 compare byte for byte.
  std::optional<std::string> normalizedPath = UnicodeText::nfc(path);
  const bool pathInvalid = !normalizedPath.has_value();
  const std::string_view target = pathInvalid ? path : std::string_view(*normalizedPath);

  auto special = specials_.begin();
  for (std::size_t i = 0; i < manifest.roots.size(); ++i) {
    std::string_view root = manifest.roots[i].path;
    bool rootInvalid = false;
    if (special != specials_.end() && special->index == i) {
      rootInvalid = special->invalid;
      if (!rootInvalid && !pathInvalid) root = special->normalized;
      ++special;
    }
    const bool bytewise = pathInvalid || rootInvalid;
    if (auto found = contains(bytewise ? path : target, root, bytewise)) {
      return Containing{i, *found};
    }
  }
  return std::nullopt;
}

}  // namespace tarvine
