// Whatever parses can be written, and the written form reads back as the same whole second.

#include <string_view>

#include "foundation/Iso8601.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarvine::Iso8601;
  using tarvine::Timestamp;
  auto parsed = Iso8601::parse(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed) return 0;
  FUZZ_CHECK(parsed->nanoseconds() >= 0 && parsed->nanoseconds() < 1'000'000'000);
  auto text = Iso8601::format(*parsed);
  FUZZ_CHECK(text.has_value());
  FUZZ_CHECK(text->size() == 20);
  FUZZ_CHECK(Iso8601::parse(*text) == Timestamp::fromUnix(parsed->seconds()));
  return 0;
}
