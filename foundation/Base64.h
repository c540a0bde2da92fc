#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvine {

using Data = std::vector<std::uint8_t>;

// Standard Base64 (RFC 4648): the "+/" alphabet, with "=" padding and no line breaks.
class Base64 {
 public:
  static std::string encode(const Data& bytes);
  // Absent for text that is not padded standard Base64.
  static std::optional<Data> decode(std::string_view text);
};

}  // namespace tarvine
