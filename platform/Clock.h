#pragma once

#include "foundation/Timestamp.h"

namespace tarvine {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Timestamp now() = 0;
};

}  // namespace tarvine
