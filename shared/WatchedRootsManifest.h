#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"
#include "foundation/Timestamp.h"

namespace tarvine {

// The main application's list of watched folders, as published in "roots.json".
struct WatchedRootsManifest {
  struct Root {
    enum class CodingKeys { path, isPaused, mode };
    static std::string_view stringValue(CodingKeys key);
    static std::optional<CodingKeys> codingKey(std::string_view text);

    // Read unchanged: with or without a trailing "/", never normalised.
    std::string path;
    bool isPaused = false;
    // "automatic" and "manual" are known; any other text is kept as it is.
    std::optional<std::string> mode;

    // Texts compare under canonical equivalence.
    friend bool operator==(const Root& a, const Root& b);
  };

  enum class CodingKeys { version, publishedAt, roots };
  static std::string_view stringValue(CodingKeys key);
  static std::optional<CodingKeys> codingKey(std::string_view text);

  std::int64_t version = 0;
  Timestamp publishedAt;
  std::vector<Root> roots;

  // One broken rule anywhere fails the whole document.
  static Result<WatchedRootsManifest> decode(std::string_view document);
  Result<std::string> encode() const;

  friend bool operator==(const WatchedRootsManifest& a, const WatchedRootsManifest& b);
};

}  // namespace tarvine
