#pragma once

#include <sys/types.h>

#include <string>

#include "foundation/Status.h"

typedef struct git_repository git_repository;

namespace tarvine::history {

// The container and everything in it (the histories, their stat caches, the
// spool, the manifest) are their owner's alone, whatever the umask: folders
// 0700, files without group or other bits. What is made is made so where the
// system allows it; what was made by earlier versions, or by programs that
// follow the umask (libgit2 writing references and configuration), is
// tightened afterwards. A file system without modes is no failure.
struct Privacy {
  static constexpr mode_t folderMode = 0700;
  static constexpr mode_t fileMode = 0600;
  // Git's objects are never rewritten: read-only, for their owner alone.
  static constexpr mode_t objectMode = 0400;

  // Makes the folder `path`, and any missing folder above it, private.
  static Status makeFolder(const std::string& path);
  // Makes the folder `path` private, with what it holds directly (without
  // going further down); links are left alone, and so is a missing folder.
  static void tightenFolder(const std::string& path);

  // For a history just opened: the objects it writes from now on are private,
  // and a store made by an earlier version is tightened once, whole.
  static Status openStore(git_repository* repository);
  // What a history's use left to the umask, outside its objects (references,
  // logs, configuration, the stat cache), made private again.
  static void tightenStore(git_repository* repository);
};

}  // namespace tarvine::history
