#pragma once

#include "platform/Clock.h"

namespace tarvine {

// The wall clock, at the system's full precision.
class SystemClock : public Clock {
 public:
  Timestamp now() override;
};

}  // namespace tarvine
