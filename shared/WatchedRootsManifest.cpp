#include "shared/WatchedRootsManifest.h"

#include <array>

#include "foundation/JsonCoding.h"
#include "foundation/UnicodeText.h"

namespace tarvine {
namespace {

using Manifest = WatchedRootsManifest;
using Root = WatchedRootsManifest::Root;

constexpr std::array<std::string_view, 3> kManifestKeys = {"version", "publishedAt", "roots"};
constexpr std::array<std::string_view, 3> kRootKeys = {"path", "isPaused", "mode"};

template <class Key, std::size_t N>
std::optional<Key> keyFor(const std::array<std::string_view, N>& names, std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (names[i] == text) return static_cast<Key>(i);
  }
  return std::nullopt;
}

std::string_view key(Manifest::CodingKeys k) { return Manifest::stringValue(k); }
std::string_view key(Root::CodingKeys k) { return Root::stringValue(k); }

bool optionalTextEqual(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || UnicodeText::canonicallyEqual(*a, *b);
}

}  // namespace

std::string_view Root::stringValue(CodingKeys k) { return kRootKeys[static_cast<std::size_t>(k)]; }

std::optional<Root::CodingKeys> Root::codingKey(std::string_view text) {
  return keyFor<CodingKeys>(kRootKeys, text);
}

std::string_view Manifest::stringValue(CodingKeys k) {
  return kManifestKeys[static_cast<std::size_t>(k)];
}

std::optional<Manifest::CodingKeys> Manifest::codingKey(std::string_view text) {
  return keyFor<CodingKeys>(kManifestKeys, text);
}

bool operator==(const Root& a, const Root& b) {
  return a.isPaused == b.isPaused && UnicodeText::canonicallyEqual(a.path, b.path) &&
         optionalTextEqual(a.mode, b.mode);
}

bool operator==(const Manifest& a, const Manifest& b) {
  return a.version == b.version && a.publishedAt == b.publishedAt && a.roots == b.roots;
}

Result<Manifest> Manifest::decode(std::string_view document) {
  auto parsed = JsonCoding::parseObject(document);
  if (!parsed.ok()) return parsed.status();
  const nlohmann::json& object = *parsed;
  try {
    Manifest manifest;
    manifest.version = JsonCoding::requiredInteger(object, key(CodingKeys::version));
    manifest.publishedAt = JsonCoding::requiredDate(object, key(CodingKeys::publishedAt));
    const nlohmann::json& roots = JsonCoding::requiredArray(object, key(CodingKeys::roots));
    manifest.roots.reserve(roots.size());
    for (const nlohmann::json& element : roots) {
      if (!element.is_object()) throw CodingError("a root is not an object");
      Root root;
      root.path = JsonCoding::requiredString(element, key(Root::CodingKeys::path));
      root.isPaused = JsonCoding::requiredBool(element, key(Root::CodingKeys::isPaused));
      root.mode = JsonCoding::optionalString(element, key(Root::CodingKeys::mode));
      manifest.roots.push_back(std::move(root));
    }
    return manifest;
  } catch (const CodingError& e) {
    return Status::error(e.what());
  } catch (const nlohmann::json::exception& e) {
    return Status::error(e.what());
  }
}

Result<std::string> Manifest::encode() const {
  try {
    nlohmann::ordered_json roots = nlohmann::ordered_json::array();
    for (const Root& root : this->roots) {
      nlohmann::ordered_json element;
      element[key(Root::CodingKeys::path)] = root.path;
      element[key(Root::CodingKeys::isPaused)] = root.isPaused;
      if (root.mode) element[key(Root::CodingKeys::mode)] = *root.mode;
      roots.push_back(std::move(element));
    }
    nlohmann::ordered_json object;
    object[key(CodingKeys::version)] = version;
    object[key(CodingKeys::publishedAt)] = JsonCoding::dateText(publishedAt);
    object[key(CodingKeys::roots)] = std::move(roots);
    return JsonCoding::dump(object);
  } catch (const CodingError& e) {
    return Status::error(e.what());
  }
}

std::optional<std::size_t> Manifest::indexOfRootContaining(std::string_view path) const {
  for (std::size_t i = 0; i < roots.size(); ++i) {
    const std::string& rootPath = roots[i].path;
    if (UnicodeText::canonicallyEqual(path, rootPath)) return i;
    // The directory prefix keeps /u/docs from containing /u/docs2.
    if (!rootPath.empty() && rootPath.back() == '/') {
      if (UnicodeText::hasCanonicalPrefix(path, rootPath)) return i;
    } else if (UnicodeText::hasCanonicalPrefix(path, rootPath + "/")) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<Root> Manifest::rootContaining(std::string_view path) const {
  auto index = indexOfRootContaining(path);
  if (!index) return std::nullopt;
  return roots[*index];
}

}  // namespace tarvine
