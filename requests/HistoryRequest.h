#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "foundation/Base64.h"
#include "foundation/Status.h"
#include "foundation/Timestamp.h"

namespace tarvine {

// One command for the main application, as one JSON file in the request spool.
struct HistoryRequest {
  enum class Kind { showHistory, enableHistory, disableHistory, snapshotNow, restorePrevious };
  // Exactly one of the five raw values gives its case; any other text gives none.
  static std::optional<Kind> kindFromRawValue(std::string_view text);
  static std::string_view rawValue(Kind kind);

  enum class CodingKeys { version, id, createdAt, kind, target, bookmark };
  static std::string_view stringValue(CodingKeys key);
  static std::optional<CodingKeys> codingKey(std::string_view text);

  std::int64_t version = 1;
  std::string id;
  Timestamp createdAt;
  Kind kind = Kind::showHistory;
  std::string target;
  std::optional<Data> bookmark;

  // Whether a request can hold this target: JSON text is UTF-8, and a path
  // that is not (legal on Linux) has no faithful form in a request file.
  static bool canCarryTarget(std::string_view path);

  // Compact JSON; fails when a text is not valid UTF-8 or the date has no text form.
  Result<std::string> encode() const;
  // The reading side's decoder; one broken rule fails the whole document.
  static Result<HistoryRequest> decode(std::string_view document);

  // Texts compare under canonical equivalence, dates as exact instants.
  friend bool operator==(const HistoryRequest& a, const HistoryRequest& b);
};

}  // namespace tarvine

template <>
struct std::hash<tarvine::HistoryRequest::Kind> {
  std::size_t operator()(tarvine::HistoryRequest::Kind kind) const noexcept {
    return std::hash<std::string_view>{}(tarvine::HistoryRequest::rawValue(kind));
  }
};
