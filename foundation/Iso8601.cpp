#include "foundation/Iso8601.h"

#include <chrono>
#include <cstdio>

namespace tarvine {
namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr std::int64_t kFirstSecond = -62'167'219'200;  // 0000-01-01T00:00:00Z
constexpr std::int64_t kLastSecond = 253'402'300'799;   // 9999-12-31T23:59:59Z

// Reads exactly `count` decimal digits at `pos`, advancing it.
std::optional<int> readDigits(std::string_view text, std::size_t& pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<std::string> Iso8601::format(Timestamp time) {
  using namespace std::chrono;
  std::int64_t days = time.seconds() / kSecondsPerDay;
  std::int64_t secondOfDay = time.seconds() % kSecondsPerDay;
  if (secondOfDay < 0) {
    secondOfDay += kSecondsPerDay;
    --days;
  }
  // Stay well inside the calendar's range before converting.
  if (days < -800'000 || days > 3'000'000) return std::nullopt;
  year_month_day date{sys_days{std::chrono::days{days}}};
  int y = static_cast<int>(date.year());
  if (y < 0 || y > 9999) return std::nullopt;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", y,
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return std::string(buffer);
}

std::optional<Timestamp> Iso8601::parse(std::string_view text) {
  using namespace std::chrono;
  std::size_t pos = 0;
  auto y = readDigits(text, pos, 4);
  if (!y || !expect(text, pos, '-')) return std::nullopt;
  auto mo = readDigits(text, pos, 2);
  if (!mo || !expect(text, pos, '-')) return std::nullopt;
  auto d = readDigits(text, pos, 2);
  if (!d || !expect(text, pos, 'T')) return std::nullopt;
  auto h = readDigits(text, pos, 2);
  if (!h || !expect(text, pos, ':')) return std::nullopt;
  auto mi = readDigits(text, pos, 2);
  if (!mi || !expect(text, pos, ':')) return std::nullopt;
  auto s = readDigits(text, pos, 2);
  if (!s) return std::nullopt;

  std::int64_t nanos = 0;
  if (pos < text.size() && text[pos] == '.') {
    ++pos;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 9) return std::nullopt;
      nanos = nanos * 10 + (text[pos] - '0');
      ++pos;
    }
    if (digits == 0) return std::nullopt;
    for (std::size_t i = digits; i < 9; ++i) nanos *= 10;
  }

  std::int64_t offsetSeconds = 0;
  if (pos >= text.size()) return std::nullopt;
  char zone = text[pos++];
  if (zone == '+' || zone == '-') {
    auto oh = readDigits(text, pos, 2);
    if (!oh || !expect(text, pos, ':')) return std::nullopt;
    auto om = readDigits(text, pos, 2);
    if (!om || *oh > 23 || *om > 59) return std::nullopt;
    offsetSeconds = (*oh * 3600 + *om * 60) * (zone == '+' ? 1 : -1);
  } else if (zone != 'Z') {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;

  year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
  if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  std::int64_t days = sys_days{date}.time_since_epoch().count();
  std::int64_t seconds = days * kSecondsPerDay + *h * 3600 + *mi * 60 + *s - offsetSeconds;
  // An offset can carry 0000-01-01 or 9999-12-31 outside the years that the
  // written form can hold; such an instant could never be written back.
  if (seconds < kFirstSecond || seconds > kLastSecond) return std::nullopt;
  return Timestamp::fromUnix(seconds, nanos);
}

}  // namespace tarvine
