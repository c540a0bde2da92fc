#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "foundation/Status.h"

// A history's ignore rules as a list of patterns, for people who edit them
// without a text editor: read from and written to the history's rule file,
// and what a list would leave out of the folder, matched as a snapshot
// matches it.
namespace tarvine::history::ignoreRules {

// The patterns of the rule file `file`, in order: its lines less blank ones
// and comments. A file not there holds none.
Result<std::vector<std::string>> read(const std::string& file);

// Replaces the patterns of `file` with `patterns`, atomically; the comments
// at its top (the history's help) stay, other comments go. A pattern that
// holds a line break, or that git would read as a comment, is refused
// (invalid) and nothing is written; blank ones are left out.
Status write(const std::string& file, const std::vector<std::string>& patterns);

struct Count {
  std::size_t matched = 0;  // files the patterns leave out, those in folders left out included
  std::size_t files = 0;    // every file below the folder (not its folders)
};
// How many of the files below `root` as it is now `patterns` leave out, by
// git's rules as the snapshot applies them (a folder left out takes all in
// it). The folder `skip` (the history's own, when it lies inside) is not
// walked. Setting `*stop` ends it early: a failure of kind failed.
Result<Count> count(const std::string& root, const std::vector<std::string>& patterns,
                    const std::string& skip = "", const std::atomic<bool>* stop = nullptr);

}  // namespace tarvine::history::ignoreRules
