#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/Base64.h"
#include "foundation/Status.h"
#include "foundation/Timestamp.h"

namespace tarvine {

// Raised by the readers and writers below; a record's coder turns it into a failed
// Result, so one broken rule fails the whole document.
class CodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The strict JSON reading and writing that both JSON files share: keys match
// exactly, a missing or null required member or a wrong type fails, and keys
// that name no member are ignored.
class JsonCoding {
 public:
  // Parses a whole document whose top level must be an object. A NUL byte,
  // invalid UTF-8 or malformed JSON fail.
  static Result<nlohmann::json> parseObject(std::string_view document);

  // A signed 64-bit integer; unsigned values above its range and numbers with a
  // fraction or exponent are a type mismatch.
  static std::int64_t requiredInteger(const nlohmann::json& object, std::string_view key);
  static std::string requiredString(const nlohmann::json& object, std::string_view key);
  static Timestamp requiredDate(const nlohmann::json& object, std::string_view key);
  // Missing or null give absent; any other type than a string fails.
  static std::optional<std::string> optionalString(const nlohmann::json& object,
                                                   std::string_view key);
  // Missing or null give absent; a string must be standard Base64.
  static std::optional<Data> optionalData(const nlohmann::json& object, std::string_view key);

  // ISO 8601 text of `time`; raises CodingError when it has none.
  static std::string dateText(Timestamp time);

  // Compact text of `value`; fails when a string is not valid UTF-8.
  static Result<std::string> dump(const nlohmann::ordered_json& value);
};

}  // namespace tarvine
