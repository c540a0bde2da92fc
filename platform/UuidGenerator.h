#pragma once

#include <string>

namespace tarvine {

class UuidGenerator {
 public:
  virtual ~UuidGenerator() = default;
  // A new random (version 4) UUID in canonical upper-case text: 8-4-4-4-12 hex digits.
  virtual std::string randomUuidString() = 0;
};

}  // namespace tarvine
