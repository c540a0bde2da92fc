#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"

// How paths below a root are named in the history's trees.
namespace tarvine::history {

// Git refuses ".git" as a name in a tree, in any case; every file is history,
// so such names are kept with one "~" more: ".git" as ".git~", ".git~" as
// ".git~~", and so on, which reads back unambiguously.
std::string storedName(std::string_view name);
std::string realName(std::string_view stored);

// A path below the root as its components: no empty, "." or ".." ones, not
// absolute (a failure of kind invalid otherwise).
Result<std::vector<std::string>> components(const std::string& relative);
// Components as the path the history's trees name them by.
std::string storedPath(const std::vector<std::string>& parts);
// Components as the path the user knows.
std::string joined(const std::vector<std::string>& parts);

}  // namespace tarvine::history
