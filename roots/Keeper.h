#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"
#include "history/IgnoreRules.h"
#include "history/Thinning.h"
#include "roots/Container.h"
#include "shared/RootMatch.h"

namespace tarvine::roots {

// The one door to the watched roots and their histories, for the
// application, the command line and the window alike: each call reads the
// roots afresh, and each that changes something holds the container's lock.
// Answers are typed: a failure's kind says what went wrong (not watched, no
// earlier version, ...), and its message is for people only.
class Keeper {
 public:
  explicit Keeper(Container container) : container_(std::move(container)) {}

  const Container& container() const { return container_; }

  // A history found damaged when an operation opened it, and healed: set
  // aside, its branch back on the newest intact snapshot.
  struct Healing {
    std::string root;
    history::Healed healed;
  };
  // Who is told of each healing as it happens: the command line's output,
  // the application's log.
  void onHealed(std::function<void(const Healing&)> tell) { tell_ = std::move(tell); }
  Result<std::vector<Root>> roots() const { return container_.roots(); }

  // A root as it is now: paused, unavailable (its folder or its disk is not
  // there), or watched in its mode.
  enum class State { automatic, manual, paused, unavailable };
  struct Listed {
    Root root;
    State state;
  };
  Result<std::vector<Listed>> states();
  // Each root with its state and what its history holds: how many snapshots,
  // the oldest and newest, and the bytes it takes on disk (its store, stat
  // cache included). What cannot be read of a history is its `problem`.
  struct Spanned {
    Root root;
    State state;
    history::Span span;
    std::uint64_t bytes = 0;
    Status problem;
  };
  Result<std::vector<Spanned>> space();

  // A history in the container of a folder that is no longer watched.
  struct Orphan {
    std::string folder;  // as its history records it
    std::string store;
    std::uint64_t bytes = 0;
  };
  Result<std::vector<Orphan>> orphans();
  // The history `forget` would delete: refused for a watched or paused
  // folder, noHistory when the container has none of it.
  Result<Orphan> orphan(const std::string& folder);
  // Deletes the history of `folder`, which is no longer watched (see orphan):
  // under the lock, set aside first, so that a deletion cut short leaves no
  // part of a history where one is looked for (removed by the next).
  Result<Orphan> forget(const std::string& folder);
  // The root `from`, whose folder is no longer there, is now the folder `to`
  // (moved or renamed): it keeps its history, which takes the folder now at
  // `to` for the one it was of, and the manifest names `to` instead. Refused
  // where `from` is still there or `to` is inside or around another root.
  Status move(const std::string& from, const std::string& to);

  // Whether the root `folder` can be snapshotted now: a failure of kind
  // unavailable when its folder is missing or its disk seems not mounted
  // (History::availability).
  Status available(const std::string& folder);

  // A snapshot of the root that holds a path.
  struct Taken {
    std::string root;
    history::Snapshot snapshot;  // its id is empty when nothing had changed
    Status tidied;               // the packing that followed, when asked for
  };

  // Whoever is told of what happened to a root, whatever asked for it: each
  // snapshot's outcome (by its root; by the path asked for when that is in no
  // root), each answer of available() for a root, and each restore's outcome
  // (by the path restored). Called on the caller's thread, after the lock is
  // released.
  struct Outcomes {
    std::function<void(const std::string& root, const Result<Taken>&)> snapshot;
    std::function<void(const std::string& root, const Status&)> availability;
    std::function<void(const std::string& path, const Result<history::Restored>&)> restore;
  };
  void onOutcomes(Outcomes tell) { outcomes_ = std::move(tell); }

  struct Watched {
    std::string folder;
    enum class Change { added, resumed, already } change = Change::added;
    // The first snapshot, taken when the folder was added or resumed.
    std::optional<Result<Taken>> first;
  };
  // Watches `folder` (a resolved path): a new root, or a paused one resumed;
  // its first snapshot is taken. A folder inside or around a watched one is
  // refused.
  Result<Watched> watch(const std::string& folder, RootMode mode);
  Status pause(const std::string& folder);
  // The history stays in the container, as it was.
  Status unwatch(const std::string& folder);
  Status setMode(const std::string& folder, RootMode mode);

  // With `tidy`, the history is then packed as git's gc --auto would (the
  // application and the command line's snapshot do it).
  Result<Taken> snapshot(const std::string& path, history::Reason reason, bool tidy = false);
  // The same, told which folders changed since the last snapshot (the
  // application's watches saw them), so that only those are read.
  Result<Taken> snapshot(const std::string& path, history::Reason reason,
                         const history::SnapshotOptions& options, bool tidy);
  Result<history::Restored> restore(const std::string& path, std::optional<std::string> version);

  struct Listing {
    std::string root;
    std::string relative;
    std::string repository;                  // the history's git folder, to follow new snapshots
    std::vector<history::Version> versions;  // newest first
    // With `current`: the id the file would have now (empty when it is gone
    // or is a folder), to compare with each version's.
    std::string current;
    // How the history was healed when it was opened for this, if it was.
    std::optional<history::Healed> healed;
  };
  Result<Listing> versions(const std::string& path, std::size_t limit = SIZE_MAX,
                           bool current = false);
  Result<std::vector<history::VersionFile>> files(const std::string& path,
                                                  const std::string& version);
  // The same without the sizes of files kept whole (History::fileList), and
  // the sizes of a few of them.
  Result<std::vector<history::VersionFile>> fileList(const std::string& path,
                                                     const std::string& version);
  Result<std::vector<std::optional<std::uint64_t>>> fileSizes(
      const std::string& path, const std::string& version, const std::vector<std::string>& files);
  // The file `path` as `version` has it, to `fd`.
  Status writeVersion(const std::string& path, const std::string& version, int fd);
  // `path` as version `older` has it against version `newer`, or, without
  // one, against the file now (History::compare).
  Result<history::Comparison> compare(const std::string& path, const std::string& older,
                                      const std::optional<std::string>& newer);
  // The files below the folder `path` that some version had and that are gone
  // now (History::deletedFiles).
  Result<std::vector<history::DeletedFile>> deletedFiles(const std::string& path,
                                                         const std::atomic<bool>* stop = nullptr);
  // `path` (a file or a folder) as `version` has it, copied to `destination`
  // (History::saveCopy).
  Status saveCopy(const std::string& path, const std::string& version,
                  const std::string& destination,
                  const std::function<bool(const history::CopyProgress&)>& progress = {});
  // The whole history of the root `folder` packed into one pack.
  Status pack(const std::string& folder);
  // The file of the root `folder`'s ignore rules.
  Result<std::string> ignoreFile(const std::string& folder);
  // Those rules as a list of patterns, in order (the window edits them so).
  Result<std::vector<std::string>> ignoreRules(const std::string& folder);
  // Replaces them, under the lock: the next snapshot leaves out what they
  // match. A pattern that cannot be one line of the file is refused (invalid).
  Status setIgnoreRules(const std::string& folder, const std::vector<std::string>& patterns);
  // How many of the root's files, as they are now, `patterns` would leave
  // out, of how many: the preview of a list before it is set.
  Result<history::ignoreRules::Count> ignoredBy(const std::string& folder,
                                                const std::vector<std::string>& patterns,
                                                const std::atomic<bool>* stop = nullptr);

  // Retention: the root `folder`'s policy and pins, and thinning its history.
  struct Kept {
    std::string root;
    history::Retention retention;
    std::vector<std::string> pinned;  // full ids
  };
  Result<Kept> retention(const std::string& folder);
  // Sets the policy; the pins stay.
  Result<Kept> setRetention(const std::string& folder, const history::Retention& retention);
  // Pins or unpins `version` of the root that holds `path`: the full id.
  Result<std::string> pin(const std::string& path, const std::string& version);
  Result<std::string> unpin(const std::string& path, const std::string& version);
  struct Thinning {
    std::string root;
    history::Thinned thinned;
  };
  // Thins the root `folder`'s history to its policy as of `now` (seconds
  // since the epoch); `dryRun` only says what would go.
  Result<Thinning> thin(const std::string& folder, std::int64_t now, bool dryRun = false);
  // Thins it if it was not thinned in the last kThinEverySeconds, for the
  // application's quiet moments; none when it was not due.
  Result<std::optional<Thinning>> thinIfDue(const std::string& folder, std::int64_t now);
  static constexpr std::int64_t kThinEverySeconds = 24 * 60 * 60;

  // Every snapshot of the root `folder`'s history (of every root's, without
  // one) read and verified as `git fsck` does; a history is checked as it is,
  // not healed first, and a root without history yet is intact.
  struct Checked {
    std::string root;
    Result<history::CheckReport> report;  // a failure when it could not be checked
    bool intact() const { return report.ok() && report->intact(); }
  };
  // Setting `*stop` ends it early.
  Result<std::vector<Checked>> check(const std::optional<std::string>& folder,
                                     const std::atomic<bool>* stop = nullptr);

 private:
  struct Opened {
    std::unique_ptr<history::History> history;
    Container::Place place;
    std::optional<Container::Lock> lock;
  };
  // The history of the root that holds `path`; with `changes`, under the
  // container's lock; with `rootOnly`, `path` must be the root itself.
  Result<Opened> open(const std::string& path, bool changes, bool rootOnly = false);
  template <class Change>
  Status changeRoot(const std::string& folder, const Change& change);

  // The root that holds `path` now, or `path` itself.
  std::string rootOf(const std::string& path) const;
  // snapshot() and restore() under the lock, before whoever is told hears of them.
  Result<Taken> takeSnapshot(const std::string& path, history::Reason reason,
                             const history::SnapshotOptions& options, bool tidy);
  Result<history::Restored> restoreLocked(const std::string& path,
                                          std::optional<std::string> version);

  Container container_;
  std::function<void(const Healing&)> tell_;
  Outcomes outcomes_;
};

// An absolute path with links resolved; for what no longer exists (a deleted
// file to restore), its folder's.
std::string resolvedPath(const std::string& path);

// A path as given: without trailing slashes, but "/" stays.
std::string withoutTrailingSlash(std::string path);

}  // namespace tarvine::roots
