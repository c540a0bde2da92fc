// A decoded manifest encodes, and decodes back to itself (its date to whole seconds).

#include <string_view>

#include "foundation/Timestamp.h"
#include "fuzz/FuzzCheck.h"
#include "shared/WatchedRootsManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarvine::WatchedRootsManifest;
  auto decoded =
      WatchedRootsManifest::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!decoded.ok()) return 0;
  auto text = decoded->encode();
  FUZZ_CHECK(text.ok());
  auto again = WatchedRootsManifest::decode(*text);
  FUZZ_CHECK(again.ok());
  WatchedRootsManifest expected = *decoded;
  expected.publishedAt = tarvine::Timestamp::fromUnix(expected.publishedAt.seconds());
  FUZZ_CHECK(*again == expected);
  FUZZ_CHECK(again->roots.size() == decoded->roots.size());
  FUZZ_CHECK(again->encode().value() == *text);
  return 0;
}
