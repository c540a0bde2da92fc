#pragma once

#include "platform/UuidGenerator.h"

namespace tarvine::apple {

// NSUUID's canonical upper-case text.
class AppleUuidGenerator : public UuidGenerator {
 public:
  std::string randomUuidString() override;
};

}  // namespace tarvine::apple
