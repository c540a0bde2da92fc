#pragma once

#include <git2.h>

#include <string>

#include "foundation/Status.h"
#include "history/FolderAccess.h"

// Contents in and out of the history, streamed in pieces, so that a file
// larger than memory is kept, hashed and brought back in little memory.
namespace tarvine::history {

// Writes all of `bytes` to `fd`.
Status writeAll(FolderAccess& access, int fd, const char* bytes, std::size_t size);

// Whether runs of zeros are written, or left as holes: a sparse file restored
// stays sparse. Holes need a new, empty file that can seek (no pipe).
enum class Holes { written, kept };

// A blob's content to `fd`: a loose object inflated piece by piece with zlib
// (libgit2's read stream holds a whole compressed object in memory), a packed
// one through libgit2.
Status copyBlob(FolderAccess& access, git_repository* repository, const git_oid& oid, int fd,
                Holes holes = Holes::written);

// The content of the file stored as `stored` to `fd`: a blob, or, when
// `chunked`, the tree of its chunks (Chunks.h), chunk after chunk.
Status copyFile(FolderAccess& access, git_repository* repository, const git_oid& stored,
                bool chunked, int fd, Holes holes = Holes::written);

// The id a chunked file's content has as one blob, read back from its
// chunks, which must hold `size` bytes.
Result<git_oid> hashChunks(git_repository* repository, const git_oid& tree, std::uint64_t size);

// The id the open file `fd` (`size` bytes) would have as a blob, read through
// `access` and stored nowhere.
Result<git_oid> hashFile(FolderAccess& access, int fd, std::uint64_t size);

}  // namespace tarvine::history
