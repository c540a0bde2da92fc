#pragma once

#include <string_view>

namespace tarvine {

// The platform's system log. Lines are written as given, with no formatting.
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void write(std::string_view line) = 0;
};

}  // namespace tarvine
