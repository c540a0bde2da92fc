#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Timestamp.h"

namespace tarvine {

// ISO 8601 internet date-time text, as both JSON files carry it.
class Iso8601 {
 public:
  // Whole seconds in UTC with "Z", e.g. 2025-03-14T09:26:53Z; a fraction of a
  // second is dropped (toward the past). Absent for years outside 0000-9999,
  // which the text form cannot carry.
  static std::optional<std::string> format(Timestamp time);

  // Accepts YYYY-MM-DDTHH:MM:SS, optionally followed by a fraction of one to
  // nine digits, then "Z" or a numeric offset +HH:MM / -HH:MM. Anything else,
  // impossible dates or times, and instants outside the years 0000-9999 give absent.
  static std::optional<Timestamp> parse(std::string_view text);
};

}  // namespace tarvine
