#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "foundation/Base64.h"
#include "foundation/Timestamp.h"

namespace tarvine {

// A value of a bundle's information property list, keeping its property-list type.
struct PropertyListValue {
  using Array = std::vector<PropertyListValue>;
  using Dictionary = std::vector<std::pair<std::string, PropertyListValue>>;
  using Value =
      std::variant<std::string, std::int64_t, double, bool, Timestamp, Data, Array, Dictionary>;

  Value value;

  const std::string* asString() const { return std::get_if<std::string>(&value); }
};

}  // namespace tarvine
