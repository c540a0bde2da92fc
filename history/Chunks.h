#pragma once

#include <git2.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "foundation/Status.h"
#include "history/FolderAccess.h"
#include "history/GitObjects.h"

// Large files kept in content-defined chunks, so that a file that changes a
// little costs the history what changed, not a whole copy per version.
//
// A chunked file is a tree in the place of the file, under the file's own
// name. Its entries are the chunks, blobs named by their position in six or
// more zero-padded digits ("000000", "000001", ...), so that name order is
// content order, each with the file's mode (its executable bit); and first,
// a marker no folder of the user's can hold: a submodule entry (a git link,
// which snapshots never record) named ".tarvine-chunked-SIZE" that names
// the id the whole content has as one blob, as `git hash-object` gives it.
// After a stock `git checkout` the file is `cat FILE/* > FILE.restored`; the
// marker checks out as an empty folder whose name starts with a dot, so the
// shell's `*` leaves it out.
namespace tarvine::history {

// The chunk sizes: a rewrite of N bytes costs about N plus two chunks, and a
// 1 GB file has about 32,000 chunks. Halving them from 64 KB on average
// brought small rewrites of a large file within git's size after its gc
// (where deltas apply) for the price of a list of chunks twice as long.
constexpr std::size_t kMinChunkBytes = 8 << 10;
constexpr std::size_t kAverageChunkBytes = 32 << 10;
constexpr std::size_t kMaxChunkBytes = 128 << 10;

// Where the next chunk of `data` ends: FastCDC's normalised gear-hash cut,
// between kMinChunkBytes and kMaxChunkBytes, decided by the last 64 bytes
// before it; `size` itself when `data` ends sooner (the file's last chunk).
std::size_t chunkEnd(const unsigned char* data, std::size_t size);

constexpr std::string_view kChunkMarkerPrefix = ".tarvine-chunked-";

// A file as a snapshot's tree keeps it, whole or in chunks.
struct StoredFile {
  git_oid stored{};   // the blob, or the tree of chunks
  git_oid content{};  // the id of the whole content as one blob
  std::uint64_t size = 0;
  git_filemode_t mode = GIT_FILEMODE_BLOB;  // the file's, never a tree's
  bool chunked = false;
};

// The chunked file the tree `tree` stands for; absent when it is a folder.
std::optional<StoredFile> chunkedFile(git_repository* repository, const git_oid& tree);

// An entry as the user knows it: a chunked file has its content's id and
// its file mode; every other entry is as stored. `file` is set for chunked
// files only.
struct Resolved {
  Entry entry;
  std::optional<StoredFile> file;
  const git_oid& stored() const { return file ? file->stored : *entry.oid; }
};
Resolved resolved(git_repository* repository, const Entry& entry);

// Stores the open file `fd` (as `info` describes it) in chunks through
// `odb`: its tree of chunks. A file that changed while it was read is a
// failure with errno EAGAIN; one the history could not take sets
// `historyFailed`.
Result<git_oid> storeInChunks(FolderAccess& access, git_odb* odb, int fd, const struct stat& info,
                              bool& historyFailed);

// The tree entry's mode for the regular file `info` stored as `oid`: a tree
// when it was stored in chunks. Only files of at least `chunkedBytes` (or
// History::kChunkedFileBytes) are looked up; a store made before chunks keeps its
// large blobs until they change.
git_filemode_t fileEntryMode(git_odb* odb, const struct stat& info, const Result<git_oid>& oid,
                             std::uint64_t chunkedBytes);

// Whether the file stored as `stored` has the content whose blob id is `content`.
bool holdsContent(git_repository* repository, const git_oid& stored, const git_oid& content);

}  // namespace tarvine::history
