#include "foundation/JsonCoding.h"

#include <limits>

#include "foundation/Iso8601.h"

namespace tarvine {
namespace {

const nlohmann::json& required(const nlohmann::json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) {
    throw CodingError("missing value for key \"" + std::string(key) + "\"");
  }
  return *it;
}

[[noreturn]] void mismatch(std::string_view key, std::string_view expected) {
  throw CodingError("expected " + std::string(expected) + " for key \"" + std::string(key) + "\"");
}

}  // namespace

Result<nlohmann::json> JsonCoding::parseObject(std::string_view document) {
  // The parser stops at a NUL byte and would accept what came before it.
  if (document.find('\0') != std::string_view::npos) {
    return Status::error("the document holds a NUL byte");
  }
  try {
    nlohmann::json value = nlohmann::json::parse(document.begin(), document.end());
    if (!value.is_object()) return Status::error("the top level is not an object");
    return value;
  } catch (const nlohmann::json::exception& e) {
    return Status::error(std::string("malformed JSON: ") + e.what());
  }
}

std::int64_t JsonCoding::requiredInteger(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& v = required(object, key);
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      mismatch(key, "a signed 64-bit integer");
    }
    return static_cast<std::int64_t>(u);
  }
  if (!v.is_number_integer()) mismatch(key, "an integer");
  return v.get<std::int64_t>();
}

std::string JsonCoding::requiredString(const nlohmann::json& object, std::string_view key) {
  const nlohmann::json& v = required(object, key);
  if (!v.is_string()) mismatch(key, "a string");
  return v.get<std::string>();
}

Timestamp JsonCoding::requiredDate(const nlohmann::json& object, std::string_view key) {
  std::string text = requiredString(object, key);
  auto time = Iso8601::parse(text);
  if (!time) mismatch(key, "an ISO 8601 date");
  return *time;
}

std::optional<std::string> JsonCoding::optionalString(const nlohmann::json& object,
                                                      std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (!it->is_string()) mismatch(key, "a string");
  return it->get<std::string>();
}

std::optional<Data> JsonCoding::optionalData(const nlohmann::json& object, std::string_view key) {
  auto text = optionalString(object, key);
  if (!text) return std::nullopt;
  auto bytes = Base64::decode(*text);
  if (!bytes) mismatch(key, "Base64 text");
  return bytes;
}

std::string JsonCoding::dateText(Timestamp time) {
  auto text = Iso8601::format(time);
  if (!text) throw CodingError("the date has no ISO 8601 text");
  return *text;
}

Result<std::string> JsonCoding::dump(const nlohmann::ordered_json& value) {
  try {
    return value.dump();
  } catch (const nlohmann::json::exception& e) {
    return Status::error(std::string("cannot encode: ") + e.what());
  }
}

}  // namespace tarvine
