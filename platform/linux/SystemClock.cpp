#include "platform/linux/SystemClock.h"

#include <chrono>

namespace tarvine {

Timestamp SystemClock::now() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  return Timestamp::fromUnix(0, nanos);
}

}  // namespace tarvine
