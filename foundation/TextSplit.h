#pragma once

#include <string_view>
#include <vector>

namespace tarvine {

// The pieces of `text` between occurrences of `separator`, leaving out empty
// pieces: leading, trailing and doubled separators give none.
std::vector<std::string_view> splitNonEmpty(std::string_view text, char separator);

}  // namespace tarvine
