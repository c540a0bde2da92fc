#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"

// How paths below a root are named in the history's trees.
namespace tarvine::history {

// Git refuses some names in a tree (".git" in any case, and what Windows or
// macOS would read as it: ".git.", "git~1", ".g\u200cit"), and reads others
// as its own (".gitmodules", ".gitattributes", under the same disguises).
// Every file is history, so such names are kept with one "~" more, at the end
// of the part git reads (before a colon, or before the next backslash):
// ".git" as ".git~", ".git~" as ".git~~", ".git:x" as ".git~:x". The escape
// reads back unambiguously, and a store that git's fsck --strict accepts and
// checks out is the result whatever the folder holds.
//
// Stores made before this escape kept only ".git" (in any case, with its
// "~"s) escaped, and every other name as it was: their snapshots name a
// user's ".gitattributes~" so, which this escape would read as
// ".gitattributes". A store keeps the naming it was made with.
enum class Naming {
  dotGitOnly,  // stores made before "tarvine.names" was set
  gitSafe,
};
std::string storedName(std::string_view name, Naming naming = Naming::gitSafe);
std::string realName(std::string_view stored, Naming naming = Naming::gitSafe);

// A path below the root as its components: no empty, "." or ".." ones, not
// absolute (a failure of kind invalid otherwise).
Result<std::vector<std::string>> components(const std::string& relative);
// Components as the path the history's trees name them by.
std::string storedPath(const std::vector<std::string>& parts, Naming naming = Naming::gitSafe);
// Components as the path the user knows.
std::string joined(const std::vector<std::string>& parts);

}  // namespace tarvine::history
