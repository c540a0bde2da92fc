#include "foundation/Timestamp.h"

namespace tarvine {

Timestamp Timestamp::fromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  constexpr std::int64_t kPerSecond = 1'000'000'000;
  std::int64_t carry = nanoseconds / kPerSecond;
  std::int64_t rest = nanoseconds % kPerSecond;
  if (rest < 0) {
    rest += kPerSecond;
    --carry;
  }
  Timestamp t;
  t.seconds_ = seconds + carry;
  t.nanoseconds_ = static_cast<std::int32_t>(rest);
  return t;
}

}  // namespace tarvine
