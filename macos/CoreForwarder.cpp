#include "macos/CoreForwarder.h"

namespace tarvine::apple {

void forwardCommand(std::mutex& turn, FinderSync& core, Command command) noexcept {
  try {
    std::lock_guard<std::mutex> lock(turn);
    (core.*command)(nullptr);
  } catch (...) {
  }
}

Menu forwardMenu(std::mutex& turn, FinderSync& core, MenuKind kind) {
  std::lock_guard<std::mutex> lock(turn);
  return core.menuForMenuKind(kind);
}

}  // namespace tarvine::apple
