#pragma once

#include "platform/Clock.h"

namespace tarvine::apple {

// The current date from NSDate.
class AppleClock : public Clock {
 public:
  Timestamp now() override;
};

}  // namespace tarvine::apple
