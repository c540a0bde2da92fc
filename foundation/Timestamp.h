#pragma once

#include <compare>
#include <cstdint>

namespace tarvine {

// A point in time: seconds since the Unix epoch and a nanosecond part in
// [0, 1e9), so that file modification dates keep the file system's full
// precision and compare exactly.
class Timestamp {
 public:
  constexpr Timestamp() = default;

  // Normalises any nanosecond count into the [0, 1e9) range.
  static Timestamp fromUnix(std::int64_t seconds, std::int64_t nanoseconds = 0);

  constexpr std::int64_t seconds() const { return seconds_; }
  constexpr std::int32_t nanoseconds() const { return nanoseconds_; }

  friend constexpr auto operator<=>(const Timestamp&, const Timestamp&) = default;

 private:
  std::int64_t seconds_ = 0;
  std::int32_t nanoseconds_ = 0;
};

}  // namespace tarvine
