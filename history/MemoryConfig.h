#pragma once

#include <git2.h>

#include <string>
#include <utility>
#include <vector>

// Settings given to libgit2 for one handle of this process alone (a pack
// builder's delta search, say): a read-only config that lives only in memory,
// so that nothing is written to the history's own config and no other
// program sees them.
namespace tarvine::history {

// Each a name as libgit2 asks for it (section and key in lower case, as in
// "pack.windowmemory") and its value.
using MemorySettings = std::vector<std::pair<std::string, std::string>>;

// Adds `settings` to `config` at the application's level, over what it
// holds; libgit2's error when they could not be added.
int addMemorySettings(git_config* config, const MemorySettings& settings,
                      const git_repository* repository);

}  // namespace tarvine::history
