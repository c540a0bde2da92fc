// Decoding then encoding keeps the bytes; any bytes encode and decode back.

#include <string_view>

#include "foundation/Base64.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarvine::Base64;
  using tarvine::Data;
  Data bytes(data, data + size);
  std::string encoded = Base64::encode(bytes);
  FUZZ_CHECK(encoded.size() % 4 == 0);
  FUZZ_CHECK(Base64::decode(encoded) == bytes);

  auto decoded = Base64::decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (decoded) FUZZ_CHECK(Base64::decode(Base64::encode(*decoded)) == decoded);
  return 0;
}
