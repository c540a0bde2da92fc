#include "foundation/TextSplit.h"

namespace tarvine {

std::vector<std::string_view> splitNonEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = text.find(separator, pos);
    if (next == std::string_view::npos) next = text.size();
    if (next > pos) pieces.push_back(text.substr(pos, next - pos));
    pos = next + 1;
  }
  return pieces;
}

}  // namespace tarvine
