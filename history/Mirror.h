#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"

// Mirrors: a history's branch, its log and pinned versions copied to another git
// repository (a bare one on a mounted disk, or on a server git reaches), and
// brought back from it. Plain git pushes and fetches through libgit2: the
// mirror is a repository like any other, readable with stock git.
//
// Each mirror of a history is recorded in the history's folder, in a file of
// git's config format of its own, "tarvine-mirrors" (section
// "tarvine-mirror", the URL as its subsection), with the snapshot last pushed
// to it: an update that is no fast-forward (the local history was thinned)
// is sent only while the mirror's branch is still that snapshot, so that a
// mirror changed by someone else is never overwritten blindly.
//
// A push only reads the history and writes that record, so it needs no
// container's lock, which would hold up snapshots for as long as a slow
// server takes: adding, removing, pushing and fetching take a lock of the
// history's mirrors instead, one at a time. A push that meets a history
// being thinned may fail (objects it was sending packed away): the next
// one follows the thinning.
namespace tarvine::history::mirror {

struct Mirror {
  std::string url;
  std::string pushed;         // the snapshot last pushed; empty before the first push
  std::int64_t pushedAt = 0;  // when (seconds since the epoch); 0 before the first push
  std::int64_t failures = 0;  // pushes failed since the last that succeeded
  std::string lastFailure;    // why the last one failed
  // Snapshots along the branch not on the mirror yet (all of them when the
  // branch was written anew since the last push).
  std::size_t unpushed = 0;
};

// Whether `url` is a path on this machine (absolute; "file://" too) rather
// than a server's address ("ssh://...", "user@host:path").
bool isLocal(const std::string& url);
// The path a local `url` names.
std::string localPath(const std::string& url);

// For a process that does nothing but adopt from `url`. What a fetch from a
// server brings is hashed as it is indexed (an object is found by the id its
// content hashed to), so the files written from it need not be hashed again
// as they are read, as git's checkout does not: reading them is most of an
// adopt's time after the fetch. libgit2's setting is the whole process's, so
// only where no other work reads a history. Nothing changes for a mirror on a
// disk, whose objects are copied as files rather than indexed.
void trustFetchedObjects(const std::string& url);

// The mirrors of the history in `store` (its git folder).
Result<std::vector<Mirror>> list(const std::string& store);
// Adds `url` as a mirror of `store`. A local path that does not exist yet is
// made a bare repository (its folder above must exist: a disk that is not
// mounted is not made on the disk that holds the mount point). A repository
// there already is kept as it is. Refused when `url` is a mirror already.
Status add(const std::string& store, const std::string& url);
// Forgets the mirror; what it holds stays there.
Status remove(const std::string& store, const std::string& url);

struct Progress {
  std::size_t objects = 0, allObjects = 0;
  std::size_t bytes = 0;
};
struct Pushed {
  std::string tip;         // the branch's snapshot now on the mirror; empty: no snapshot yet
  bool rewritten = false;  // the mirror's branch followed a thinning
  bool upToDate = false;   // nothing was sent
};
// Sends the history's branch and its pinned versions to the mirror `url`
// (only the objects the mirror lacks), and drops there the pins dropped
// here. Done when it returns: a mirror on this machine is synced to its
// disk first; then the snapshot pushed is recorded, durably. A mirror on a
// path that is not a repository (its disk not mounted) is a failure of kind
// unavailable, and is never made again there; a mirror whose branch is
// neither an older snapshot of this history nor the one last pushed is
// refused. Each failure is counted in the mirror's record.
// Setting `*stop` ends it at the next step that can be cut short (a failure);
// connecting cannot be.
Result<Pushed> push(const std::string& store, const std::string& url,
                    const std::function<void(const Progress&)>& progress = {},
                    const std::atomic<bool>* stop = nullptr);

// For adopting a history: fetches the branch and the pinned versions of the
// mirror `url` into `store`, a history with no snapshot yet, and records
// `url` as its mirror, pushed up to what was fetched. The branch's snapshot.
Result<std::string> fetchAll(const std::string& store, const std::string& url,
                             const std::function<void(const Progress&)>& progress = {});

// After an adopted version was written into the folder `folder` (still
// apart, before it is watched) by History::saveCopy, which told `written`:
// records each file written in the history's cache of what the snapshots
// saw, as git's checkout fills its index, so that the folder's first
// snapshot trusts them rather than reading and storing every file again.
// Only a hint: a file whose status is no longer the one taken right after it
// was written (changed since by anyone else), or that does not match its
// version's entry (type, size, executable bit), is left out and read by that
// snapshot, and a failure costs only that reading.
void rememberWritten(const std::string& store, const std::string& version,
                     const std::string& folder, const WrittenFiles& written);

// Reads every object the mirror `url` of `store` reaches from its branch, its
// pins and its branch's log, each hashed again and compared with its id as
// git fsck does, and looks there for the snapshot last pushed. A mirror on a
// server is read from a copy of all it holds, fetched into a folder in the
// history's own and removed afterwards: a server that cannot be reached is a
// failure of kind unavailable; one that cannot send all it holds, a problem
// of the report. Only reads the mirror. Setting `*stop` ends it.
Result<CheckReport> check(const std::string& store, const std::string& url,
                          const std::atomic<bool>* stop = nullptr);

}  // namespace tarvine::history::mirror
