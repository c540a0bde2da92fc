#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/Status.h"
#include "history/FolderAccess.h"
#include "history/StoredNames.h"

typedef struct git_repository git_repository;

namespace tarvine::history {

class PackSteps;
struct Retention;
struct Thinned;

// Why a snapshot was taken; kept in the snapshot's message.
enum class Reason { automatic, manual, enabled, beforeRestore };
std::string_view reasonName(Reason reason);

// A snapshot's id as people are shown it: its first twelve digits, as git
// abbreviates ids in a history of this size.
constexpr std::size_t kShortIdLength = 12;
inline std::string shortId(std::string_view id) {
  return std::string(id.substr(0, kShortIdLength));
}

// A file or folder a snapshot could not read as it is now. A snapshot
// records deletions, never failures: what was in the last snapshot stays as
// that snapshot had it.
struct Skipped {
  enum class Kind {
    unreadable,        // could not be opened, listed or read
    changedWhileRead,  // changed each time it was read: no whole version of it was seen
  };
  std::string path;  // below the root
  Kind kind = Kind::unreadable;
  std::string why;  // for people
  // Whether the last snapshot's version was kept in its place (false: it was
  // not in the last snapshot, and is not in this one either).
  bool carried = false;
};

struct Snapshot {
  // The snapshot's id (its commit); empty when nothing had changed since the
  // last one, so nothing was recorded.
  std::string id;
  // Files whose content was read; the others were unchanged by their size,
  // times and inode.
  std::size_t filesRead = 0;
  std::vector<Skipped> skipped;
  // Whether every folder was read (false: only the changed ones, as asked).
  bool readWhole = true;
};

// What the caller knows of a snapshot to take.
struct SnapshotOptions {
  // The folders (paths below the root, "" for the root itself) in which
  // something was added, removed or changed since the last snapshot, as the
  // application's watches saw it: only those are read again, with the
  // folders that lead to them, and every other folder keeps its tree from
  // the last snapshot. Without it, or when the history cannot rely on it
  // (the last snapshot is not the one the cache knows, the ignore rules or
  // the root's place changed), every folder is read.
  std::optional<std::set<std::string>> changedFolders;
  // Folders that hold a subtree no watch saw (made, moved in or made
  // readable since the last snapshot): each is read with every folder below
  // it, and read again as a changed folder is. Only with changedFolders.
  std::set<std::string> newFolders;
};

// One version of a path: a snapshot in which it differs from the one before.
struct Version {
  enum class Change { added, modified, deleted };
  std::string id;
  std::int64_t time = 0;  // seconds since the epoch
  Reason reason = Reason::manual;
  Change change = Change::modified;
  // A file's size in this version; absent for a folder or where it was deleted.
  std::optional<std::uint64_t> size;
  // The content's id in this version (empty where it was deleted): equal ids,
  // equal content.
  std::string object;
  // Whether the path is a folder here (or was, where it was deleted), and if
  // so how many files differ from the version before.
  bool isFolder = false;
  std::size_t changedFiles = 0;
};

// A file in a folder as one version has it.
struct VersionFile {
  std::string path;  // below the folder asked for
  std::uint64_t size = 0;
  bool isLink = false;
  // Whether `size` was read (History::fileList leaves most sizes out).
  bool sized = true;
};

// A history found damaged when it was opened, and brought back to the newest
// snapshot that can be read whole.
struct Healed {
  // The snapshot the branch named, set aside; empty when the branch itself
  // could not be read.
  std::string damaged;
  // The file in the history that names it, "tarvine-damaged/tips/<time>"
  // (where the objects that could not be read are kept too).
  std::string keptAs;
  // The newest intact snapshot, which the branch names now; empty when none
  // was intact, so that the next snapshot starts the history again.
  std::string tip;
  std::string why;  // what could not be read
};

// What `History::check` found: every object of every snapshot read, its
// content hashed and compared with its id, each commit and tree parsed.
struct CheckReport {
  std::size_t snapshots = 0;  // commits read along the branch
  std::size_t objects = 0;    // distinct objects verified
  // Each "what: why", naming the snapshot and path where it was first met.
  std::vector<std::string> problems;
  // Damaged snapshots set aside when the history was healed, by the name
  // they are kept under.
  std::vector<std::string> keptAside;
  bool intact() const { return problems.empty(); }
};

// How long a history is: its snapshots along the branch, and when the oldest
// and the newest were taken (seconds since the epoch; 0 without snapshots).
struct Span {
  std::size_t snapshots = 0;
  std::int64_t oldest = 0, newest = 0;
};

struct Restored {
  // The version brought back, and the snapshot taken first (empty when the
  // current state had been recorded already).
  std::string version;
  std::string before;
  // The snapshot that holds the state from before the restore (the one just
  // taken, or the last one when nothing had changed): restoring it undoes this.
  std::string undo;
  std::vector<std::string> written;  // paths below the root, in order
  // Files left as they are, each "path: why": their current content could
  // not be read, so it could not be kept before they were replaced.
  std::vector<std::string> notReplaced;
  // Snapshots taken while the restore ran, to keep files that changed after
  // the first one before they were replaced.
  std::vector<std::string> keptDuring;
};

// Two versions of a file side by side (Compare.cpp): an older one and a newer
// one, or the file as it is now.
struct Comparison {
  // Each side's size; absent where the file is not there (or is no file).
  std::optional<std::uint64_t> olderSize, newerSize;
  bool differs = false;
  // Whether both sides are text within kCompareTextBytes, so that `diff`
  // holds libgit2's unified diff of them (at most kDiffBytes of it; `cut`
  // when there was more). Other files are compared by content id only.
  bool text = false;
  std::string diff;
  bool cut = false;
};

// A file of a folder that some snapshot had and that is gone from the folder
// now (Deleted.cpp).
struct DeletedFile {
  std::string path;  // below the folder asked for
  // The newest snapshot that had it, and when it was taken.
  std::string lastSeen;
  std::int64_t time = 0;
  std::uint64_t size = 0;
  bool isLink = false;
};

// How far a copy of a version has got (SaveCopy.cpp).
struct CopyProgress {
  std::size_t files = 0, allFiles = 0;
  std::uint64_t bytes = 0, allBytes = 0;
};

// A file or link as a copy of a version wrote it (SaveCopy.cpp), its status
// taken right after it was written: all that a record of it made later may
// vouch for, since a change by anyone else since then shows as another one.
struct WrittenFile {
  std::int64_t size = 0, mtime = 0, ctime = 0;  // times in nanoseconds
  std::uint64_t inode = 0;
  std::uint32_t mode = 0;  // its type and permissions, as lstat gives them
  static WrittenFile of(const struct stat& info);
  friend bool operator==(const WrittenFile&, const WrittenFile&) = default;
};
// By path below the copy.
using WrittenFiles = std::unordered_map<std::string, WrittenFile>;

// The version history of one watched folder (its root), kept in a bare git
// repository of its own outside the folder: each snapshot is one commit of
// the whole tree, readable with any git tool. Every file is history: no
// ignore files apply, and a folder that holds a repository is walked like any
// other. Links are kept as links and never followed; FIFOs, sockets and
// devices are left out.
//
// The folder is only read, except by restore, which writes each file
// atomically and never through a link.
//
// One writer at a time: the application and the command line take the
// container's lock around every use. So a lock file of git's found in the
// history was left by a writer that was killed, and is removed.
class History {
 public:
  // What the history is opened for.
  //  - writing: by the one writer, under the container's lock. What killed
  //    writers left (git's temporary objects and packs, stale locks) is
  //    removed, and a newest snapshot that cannot be read whole is set aside
  //    (named under tarvine-damaged/) while the branch goes back to the
  //    newest intact one from its log, which forgets what was set aside
  //    (`healed()` says so).
  //  - reading: without the lock; a damaged newest snapshot is a failure of
  //    kind damaged, for the caller to open it again for writing.
  //  - checking: as it is, damaged or not, for `check`; nothing is made.
  // The newest snapshot is read whole (its commit and trees hashed and parsed, the
  // header of each file read) once per boot of the machine and tip, as only
  // a power cut (which ends the boot) or a hand from outside can damage what
  // this engine synced; the snapshots it records itself need no reading.
  enum class Opening { writing, reading, checking };

  // Opens, or creates, the history of `root` in `repository`; the folder is
  // reached only through `access`.
  static Result<std::unique_ptr<History>> open(const std::string& repository,
                                               const std::string& root,
                                               FolderAccess& access = PosixFolderAccess::shared(),
                                               Opening opening = Opening::writing);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  // A restore writes each file beside its place under this prefix, followed
  // by a random mark of that restore's own and a number, then renames it
  // over. What one killed midway leaves is removed when the history is next
  // opened; a file of the user's with a name like it is kept as any other.
  static constexpr std::string_view restoringPrefix = ".tarvine-restore-";

  const std::string& root() const { return root_; }
  // The history's git folder.
  std::string repository() const;

  // Leaves the folder `path` (absolute) out of every snapshot: the history's
  // own folder, when it lies inside the root.
  void exclude(const std::string& path) { excluded_.push_back(path); }

  // The root's own ignore rules, in .gitignore syntax (git's info/exclude of
  // the history): nothing is left out unless the user lists it there. Neither
  // the folder's .gitignore files nor the user's global ones apply.
  std::string ignoreFile() const;

  // Records the root as it is now, unless nothing changed since the last
  // snapshot. A root that is not there, or whose disk seems not mounted (see
  // availability), is not recorded: a failure of kind unavailable.
  Result<Snapshot> snapshot(Reason reason, const SnapshotOptions& options = {});

  // Snapshots that tell the truth (History.cpp): whether the root can be
  // recorded now. A failure of kind unavailable when its folder is missing,
  // or is not the folder its history is of: empty where its last snapshot is
  // not (unless it is the very folder that snapshot saw, emptied), or on
  // another device than it was and either no longer a mount of its own or
  // holding none of the names at the top of its last snapshot.
  Status availability();

  // The versions of `relative` (a path below the root; "" for the root
  // itself), newest first; at most `limit` of them, so that a long history
  // can be shown a screen at a time.
  Result<std::vector<Version>> versions(const std::string& relative, std::size_t limit = SIZE_MAX);

  // The id that the file `relative` would have in a snapshot now, to compare
  // with `Version::object`; empty when it does not exist. A link is hashed as
  // a link, never followed.
  Result<std::string> currentObject(const std::string& relative);

  // The files below the folder `relative` as snapshot `id` has them, in path order.
  Result<std::vector<VersionFile>> files(const std::string& id, const std::string& relative);
  // The same from the trees alone, without the sizes of the files kept
  // whole (`sized` false): each costs its object's header, and a loose
  // object's is an open and an inflate. fileSizes gives those in sight.
  Result<std::vector<VersionFile>> fileList(const std::string& id, const std::string& relative);
  // The sizes of the files `paths` (below the folder `relative`, as fileList
  // gives them) in snapshot `id`, in their order; none where no file is.
  Result<std::vector<std::optional<std::uint64_t>>> fileSizes(
      const std::string& id, const std::string& relative, const std::vector<std::string>& paths);

  // Packs every object of the history into one pack, with deltas between the
  // versions of each file, as git's gc does. Large files are in chunks, which
  // are packed apart with no search for deltas, the packs of them that are
  // large beside the others kept as they are; whole blobs larger than
  // `kLooseFileBytes` (kept by stores made before chunks) stay loose, so that
  // they are read and restored piece by piece.
  Status pack();
  // For a quiet moment after a snapshot: packs every loose object, and packs
  // the whole history again once the packs added since hold more than a
  // sixteenth of the largest; past the packs git's gc --auto allows, merges
  // the small ones. A failure loses nothing.
  Status tidy();
  static constexpr std::uint64_t kLooseFileBytes = 32ull << 20;
  // Files of at least this many bytes are stored in content-defined chunks
  // (Chunks.h): those that packs would not delta-compress within the memory
  // bound, so that a large file that changes a little costs what changed.
  static constexpr std::uint64_t kChunkedFileBytes = kLooseFileBytes;

  // Packing's bound and file steps, for tests (pack-private): files larger
  // than `bytes` stay loose (kLooseFileBytes unless set), and packing syncs
  // and removes the store's files through `steps` (the real ones unless set).
  void setLooseFileBytes(std::uint64_t bytes) { looseFileBytes_ = bytes; }
  void setPackSteps(PackSteps& steps) { packSteps_ = &steps; }
  // Files of at least `bytes` are stored in chunks (kChunkedFileBytes unless
  // set; never more, so that the chunks a snapshot stored are known again,
  // and never an empty file, which has no chunk).
  void setChunkedFileBytes(std::uint64_t bytes) {
    chunkedFileBytes_ = std::clamp<std::uint64_t>(bytes, 1, kChunkedFileBytes);
  }

  // Writes the file `relative` as it was in snapshot `id` to `fd`.
  Status writeFileVersion(const std::string& id, const std::string& relative, int fd);

  // Brings `relative` back to snapshot `id`, or, without one, to its previous
  // version: for a file, the latest content that differs from the current
  // one; for a folder, its files as of the latest snapshot in which the
  // folder differs from now (changed and deleted files come back; files
  // added since stay). The current state is recorded first, so a restore can
  // itself be undone: every file it replaces is in the history at the moment
  // it is replaced (one the ignore rules leave out included; one changed
  // since is recorded again first; one that cannot be read is left as it is
  // and named in `notReplaced`). A replaced file keeps its permission bits
  // and, where they may be given, its owner; a file that is gone comes back
  // with the version's executable bit under the umask. A version given
  // relative to the newest snapshot ("HEAD~1") is read before anything is
  // recorded. Where the folder has a file and the version a folder, or the
  // reverse (or a link in place of a folder), the restore is refused before
  // anything is written.
  Result<Restored> restore(const std::string& relative, std::optional<std::string> id);

  // The snapshots along the branch, counted, with the times of the oldest and
  // the newest. It costs one commit read per snapshot (its parent and time,
  // never its tree): a few milliseconds for thousands of snapshots.
  Result<Span> span();

  // The folder was moved and its history with it: the history records
  // `root()` as its folder (in its config, and as the place its stat cache
  // vouches for), so that the next snapshot takes the folder now there for
  // the one it was of.
  Status recordPlace();
  // The folder the history in `repository` was made for, as its config says;
  // none when it cannot be read.
  static std::optional<std::string> recordedRoot(const std::string& repository);

  // Retention (Thinning.cpp). The root's policy, kept in the history's git
  // config (tarvine.keep, tarvine.sizeLimit): the standard one unless set.
  Result<Retention> retention();
  Status setRetention(const Retention& retention);
  // Pins `id`: it is kept whatever the policy says, under a reference of its
  // own (refs/tarvine/pinned/), until unpinned. The full id pinned or unpinned.
  Result<std::string> pin(const std::string& id);
  Result<std::string> unpin(const std::string& id);
  Result<std::vector<std::string>> pinned();
  // Drops the versions the policy lets go at `now`, newest kept: the chain
  // written anew after the oldest one dropped, the branch moved durably, its
  // log made to name only what is kept, then the space freed by a pack that
  // proves before it deletes. A kill or power cut leaves the old chain or
  // the new one, whole. `dryRun` only says what would go.
  Result<Thinned> thin(std::int64_t now, bool dryRun = false);
  // When it was last thinned (not dry); none when never.
  std::optional<std::int64_t> lastThinned() const;

  // How the history was healed when it was opened, if it was.
  const std::optional<Healed>& healed() const { return healed_; }
  // Every object of every snapshot read and verified, as `git fsck` does; a
  // history opened for checking reports its damage here rather than failing.
  // Setting `*stop` ends it early, with a failure.
  Result<CheckReport> check(const std::atomic<bool>* stop = nullptr);
  // Compare (Compare.cpp): the file `relative` as snapshot `older` has it,
  // against snapshot `newer`, or, without one, against the file as it is now
  // (read through the folder's access, never through a link). Files larger
  // than kCompareTextBytes, and binary ones, are compared by content only.
  Result<Comparison> compare(const std::string& relative, const std::string& older,
                             const std::optional<std::string>& newer);
  static constexpr std::uint64_t kCompareTextBytes = 4ull << 20;
  static constexpr std::size_t kDiffBytes = 1u << 20;

  // The files below the folder `relative` that some snapshot had and that are
  // gone from the folder now, by path, each with the newest snapshot that had
  // it (the newest snapshot itself for one deleted since it was taken). Consecutive snapshots are
  // compared by tree id, so that only the folders that changed are read: the cost follows what
  // changed, not the folder's size times the snapshots. Setting
  // `*stop` ends it early, with a failure.
  Result<std::vector<DeletedFile>> deletedFiles(const std::string& relative,
                                                const std::atomic<bool>* stop = nullptr);

  // Save a Copy (SaveCopy.cpp): `relative` (a file, or a folder with all it
  // holds) as snapshot `id` has it, written to `destination` (an absolute
  // path outside the history's own folder), with links as links and the
  // executable bit kept. Everything is written beside it under a temporary
  // name and renamed into place at the end, so that a copy cut short leaves
  // nothing at `destination`; a folder never replaces one that holds
  // anything. The original (`root()`/`relative`) is never the destination.
  // `progress` is told after each file; returning false from it stops the
  // copy (a failure with errno ECANCELED), and what was written goes.
  Status saveCopy(const std::string& id, const std::string& relative,
                  const std::string& destination,
                  const std::function<bool(const CopyProgress&)>& progress = {});
  // As above, and, unless `written` is null, records there each file and
  // link written, as it was right after it was written.
  Status saveCopy(const std::string& id, const std::string& relative,
                  const std::string& destination,
                  const std::function<bool(const CopyProgress&)>& progress, WrittenFiles* written);

  // The file that remembers which newest snapshot was read whole in which
  // boot of the machine; without it, the next open reads it again.
  static constexpr std::string_view intactTipName = "tarvine-intact-tip";

 private:
  History(git_repository* repository, std::string root, std::string statCache,
          FolderAccess& access);
  std::string shownPath(const std::string& relative) const;
  Result<Snapshot> snapshotOnce(Reason reason, const SnapshotOptions& options);
  Result<std::vector<VersionFile>> listFiles(const std::string& id, const std::string& relative,
                                             bool sizes);
  // Packing (Packing.cpp); with `dropUnreachable`, what no reference and no
  // reference's log reaches is not kept.
  Status repack(bool dropUnreachable);

  git_repository* repository_;
  std::string root_;
  std::string statCachePath_;
  std::vector<std::string> excluded_;
  FolderAccess& access_;
  // How this store names what git refuses: as it was made.
  Naming naming_ = Naming::gitSafe;
  // Packing.
  std::uint64_t looseFileBytes_ = kLooseFileBytes;
  PackSteps* packSteps_ = nullptr;
  std::uint64_t chunkedFileBytes_ = kChunkedFileBytes;

  // Restoring (Restore.cpp).
  // Removes the temporary files a killed restore left in the folder; with
  // `wait`, after a restore still running in another process has ended,
  // otherwise only when none is.
  void removeRestoreLeftovers(bool wait);
  // While a restore runs, what its snapshots must know: the paths it will
  // overwrite (with the folders that lead to them), kept whatever the ignore
  // rules say, and the start of its temporary files' names, which no
  // snapshot keeps.
  std::set<std::string> keptAnyway_;
  std::string temporaryPrefix_;

  // Healing and the intact newest snapshot.
  std::optional<Healed> healed_;
  std::string intactTip_;  // the newest snapshot known to be whole, in hex
};

}  // namespace tarvine::history
