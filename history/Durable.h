#pragma once

#include <string>

#include "foundation/Status.h"

// Writes the history's own files so that they survive a power cut: each file
// synced before it is named, and each folder synced after a name in it
// changed. A write that returned is on stable storage.
namespace tarvine::history {

// Syncs the file or folder at `path` to stable storage.
Status syncPath(const std::string& path);

// Syncs everything on the file system that holds `path`: one flush of the
// disk's cache for any number of files. Where the system cannot (it is
// Linux's), every file is to be synced one by one instead.
#ifdef __linux__
constexpr bool kCanSyncFileSystem = true;
#else
constexpr bool kCanSyncFileSystem = false;
#endif
Status syncFileSystemOf(const std::string& path);

// Makes the folder `path` and any missing folder above it, each synced into
// its parent.
Status makeFolders(const std::string& path);

// Replaces `path` with `text` atomically: written to `path` + ".lock" (made
// exclusively, as git locks a file; one found fails the write), synced,
// renamed over, and the folder synced. Files are made the user's alone (0600).
Status replaceFile(const std::string& path, const std::string& text);

// Appends the line `line` to `path` and syncs it; a new file's folder is
// synced too.
Status appendLine(const std::string& path, const std::string& line);

}  // namespace tarvine::history
