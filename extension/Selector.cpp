#include "extension/Selector.h"

#include <array>

namespace tarvine {
namespace {

constexpr std::array<std::string_view, 5> kNames = {
    "showHistory:", "enableHistory:", "disableHistory:", "snapshotNow:", "restorePrevious:"};

}  // namespace

std::string_view selectorName(Selector selector) {
  return kNames[static_cast<std::size_t>(selector)];
}

std::optional<Selector> selectorFromName(std::string_view name) {
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    if (kNames[i] == name) return static_cast<Selector>(i);
  }
  return std::nullopt;
}

}  // namespace tarvine
