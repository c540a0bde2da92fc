#pragma once

#include <git2.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "foundation/Status.h"

// Loose objects read whole with this engine's own inflater, piece by piece:
// libgit2 1.5 never returns from reading a loose object that was cut short
// (it inflates on, waiting for input that is not there), and reads a whole
// object into memory.
namespace tarvine::history {

// The loose object in the file `path` inflated piece by piece: `header` is
// told its kind and length first (false ends the reading), then `content`
// each piece of it. Absent when there is no such file; "" when it was read
// whole, as long as its header says; else why not, for people. The content
// is not hashed here.
using LooseHeader = std::function<bool(git_object_t type, std::uint64_t size)>;
using LooseContent = std::function<bool(const char* bytes, std::size_t size)>;
std::optional<std::string> inflateLoose(const std::string& path, const LooseHeader& header,
                                        const LooseContent& content);

// Whether the loose object `oid` is whole: its file inflates to a header of
// the kind `expected` and the length it states, and the content hashes to
// `oid` (through `hashing`, see `hashingOdb`). Absent when it is not loose
// (packed, or missing); "" when whole; else why not, for people.
std::optional<std::string> verifyLoose(git_repository* repository, git_odb* hashing,
                                       const git_oid& oid, git_object_t expected);

// Puts a reader before the history's own that reads its loose objects with
// the inflater above, so that one cut short is a failure, never a reading
// that does not end, wherever libgit2 reads it (a tree walked, a file
// restored, a pack built). libgit2 still checks what it gets against its id.
Status readLooseSafely(git_repository* repository);

}  // namespace tarvine::history
