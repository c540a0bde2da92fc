#include "requests/HistoryRequest.h"

#include <array>

#include "foundation/JsonCoding.h"
#include "foundation/UnicodeText.h"

namespace tarvine {
namespace {

constexpr std::array<std::string_view, 5> kKinds = {
    "showHistory", "enableHistory", "disableHistory", "snapshotNow", "restorePrevious"};
constexpr std::array<std::string_view, 6> kKeys = {"version", "id",     "createdAt",
                                                   "kind",    "target", "bookmark"};

std::string_view key(HistoryRequest::CodingKeys k) { return HistoryRequest::stringValue(k); }

}  // namespace

std::optional<HistoryRequest::Kind> HistoryRequest::kindFromRawValue(std::string_view text) {
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    if (kKinds[i] == text) return static_cast<Kind>(i);
  }
  return std::nullopt;
}

std::string_view HistoryRequest::rawValue(Kind kind) {
  return kKinds[static_cast<std::size_t>(kind)];
}

std::string_view HistoryRequest::stringValue(CodingKeys k) {
  return kKeys[static_cast<std::size_t>(k)];
}

std::optional<HistoryRequest::CodingKeys> HistoryRequest::codingKey(std::string_view text) {
  for (std::size_t i = 0; i < kKeys.size(); ++i) {
    if (kKeys[i] == text) return static_cast<CodingKeys>(i);
  }
  return std::nullopt;
}

bool HistoryRequest::canCarryTarget(std::string_view path) {
  return UnicodeText::isValidUtf8(path);
}

Result<std::string> HistoryRequest::encode() const {
  try {
    nlohmann::ordered_json object;
    object[key(CodingKeys::version)] = version;
    object[key(CodingKeys::id)] = id;
    object[key(CodingKeys::createdAt)] = JsonCoding::dateText(createdAt);
    object[key(CodingKeys::kind)] = rawValue(kind);
    object[key(CodingKeys::target)] = target;
    if (bookmark) object[key(CodingKeys::bookmark)] = Base64::encode(*bookmark);
    return JsonCoding::dump(object);
  } catch (const CodingError& e) {
    return Status::error(e.what());
  }
}

Result<HistoryRequest> HistoryRequest::decode(std::string_view document) {
  auto parsed = JsonCoding::parseObject(document);
  if (!parsed.ok()) return parsed.status();
  const nlohmann::json& object = *parsed;
  try {
    HistoryRequest request;
    request.version = JsonCoding::requiredInteger(object, key(CodingKeys::version));
    request.id = JsonCoding::requiredString(object, key(CodingKeys::id));
    request.createdAt = JsonCoding::requiredDate(object, key(CodingKeys::createdAt));
    std::string kindText = JsonCoding::requiredString(object, key(CodingKeys::kind));
    auto kind = kindFromRawValue(kindText);
    if (!kind) return Status::error("corrupt data: unknown kind \"" + kindText + "\"");
    request.kind = *kind;
    request.target = JsonCoding::requiredString(object, key(CodingKeys::target));
    request.bookmark = JsonCoding::optionalData(object, key(CodingKeys::bookmark));
    return request;
  } catch (const CodingError& e) {
    return Status::error(e.what());
  } catch (const nlohmann::json::exception& e) {
    return Status::error(e.what());
  }
}

bool operator==(const HistoryRequest& a, const HistoryRequest& b) {
  return a.version == b.version && a.createdAt == b.createdAt && a.kind == b.kind &&
         a.bookmark == b.bookmark && UnicodeText::canonicallyEqual(a.id, b.id) &&
         UnicodeText::canonicallyEqual(a.target, b.target);
}

}  // namespace tarvine
