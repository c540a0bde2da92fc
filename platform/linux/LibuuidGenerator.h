#pragma once

#include "platform/UuidGenerator.h"

namespace tarvine {

// Random (version 4) UUIDs from libuuid, in upper-case text.
class LibuuidGenerator : public UuidGenerator {
 public:
  std::string randomUuidString() override;
};

}  // namespace tarvine
