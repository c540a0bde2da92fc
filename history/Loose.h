#pragma once

#include <git2.h>

#include <optional>
#include <string>

// Loose objects read whole with this engine's own inflater, piece by piece:
// libgit2 1.5 never returns from reading a loose object that was cut short
// (it inflates on, waiting for input that is not there), and reads a whole
// object into memory.
namespace tarvine::history {

// Whether the loose object `oid` is whole: its file inflates to a header of
// the kind `expected` and the length it states, and the content hashes to
// `oid` (through `hashing`, see `hashingOdb`). Absent when it is not loose
// (packed, or missing); "" when whole; else why not, for people.
std::optional<std::string> verifyLoose(git_repository* repository, git_odb* hashing,
                                       const git_oid& oid, git_object_t expected);

}  // namespace tarvine::history
