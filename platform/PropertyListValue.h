#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "foundation/Base64.h"
#include "foundation/Timestamp.h"

namespace tarvine {

// A value of a bundle's information property list, keeping its property-list type.
struct PropertyListValue {
  struct Entry;
  using Array = std::vector<PropertyListValue>;
  using Dictionary = std::vector<Entry>;  // in the list's order
  using Value =
      std::variant<std::string, std::int64_t, double, bool, Timestamp, Data, Array, Dictionary>;

  Value value;

  // The text, when the value is a string.
  const std::string* asString() const;
};

struct PropertyListValue::Entry {
  std::string key;
  PropertyListValue value;
};

// Defined once the type is complete, as the dictionary holds values of it.
inline const std::string* PropertyListValue::asString() const {
  return std::get_if<std::string>(&value);
}

}  // namespace tarvine
