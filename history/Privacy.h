#pragma once

#include <sys/types.h>

namespace tarvine::history {

// The container and everything in it (the histories, their stat caches, the
// spool, the manifest) are their owner's alone, whatever the umask: folders
// 0700, files without group or other bits.
struct Privacy {
  static constexpr mode_t folderMode = 0700;
  static constexpr mode_t fileMode = 0600;
  // Git's objects are never rewritten: read-only, for their owner alone.
  static constexpr mode_t objectMode = 0400;
};

}  // namespace tarvine::history
