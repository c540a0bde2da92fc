// A decoded request encodes, and decodes back to itself (its date to whole seconds).

#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "requests/HistoryRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarvine::HistoryRequest;
  auto decoded =
      HistoryRequest::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!decoded.ok()) return 0;
  auto text = decoded->encode();
  FUZZ_CHECK(text.ok());
  auto again = HistoryRequest::decode(*text);
  FUZZ_CHECK(again.ok());
  HistoryRequest expected = *decoded;
  expected.createdAt = tarvine::Timestamp::fromUnix(expected.createdAt.seconds());
  FUZZ_CHECK(*again == expected);
  FUZZ_CHECK(again->bookmark == decoded->bookmark);
  return 0;
}
