#pragma once

#include <optional>
#include <string_view>

namespace tarvine {

// The actions a menu item can send to the extension object, by the names the
// host knows them by ("showHistory:" and so on).
enum class Selector { showHistory, enableHistory, disableHistory, snapshotNow, restorePrevious };

std::string_view selectorName(Selector selector);
std::optional<Selector> selectorFromName(std::string_view name);

}  // namespace tarvine
