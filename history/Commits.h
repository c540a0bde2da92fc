#pragma once

#include <git2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"

namespace tarvine::history {

// Records `tree` as a new snapshot on the history's branch, after the newest
// one; the snapshot's id, or "" when the newest already has that tree
// (nothing changed, nothing recorded).
//
// It is durable when this returns: the files and trees the snapshot added are
// synced with their folders (one by one, or many at once with their whole
// file system), then its commit, and only then is the branch moved (its log
// first, then the branch itself, written beside and renamed over). A power
// cut at any point leaves the branch on a snapshot that can be read whole.
// An object found empty (a power cut before this engine synced what it
// wrote) is removed and the snapshot fails with kind damaged and errno
// EAGAIN: taken again, it stores that object anew.
Result<std::string> recordSnapshot(git_repository* repository, const git_oid& tree, Reason reason,
                                   const std::string& root);

// Points the reference `name` ("refs/...") at `to`, durably: a line in its
// log (git's reflog) first, then the reference. `from` is what it named
// before (null for nothing). With `alsoHead`, HEAD's log gets the line too,
// as git logs the branch HEAD names.
Status setReference(git_repository* repository, const std::string& name, const git_oid* from,
                    const git_oid& to, const std::string& why, bool alsoHead = false);

// The snapshots the branch named, newest first, from its log and HEAD's:
// where it pointed after each move, then before. A line a power cut left
// half-written is skipped.
std::vector<git_oid> formerTips(git_repository* repository, const std::string& branch);

// Takes out of the branch's log and HEAD's the lines that moved them to a
// snapshot in `gone` or to one the store no longer has, and links each line
// that stays to the one before it, as `git reflog expire --stale-fix` does:
// stock git then finds nothing missing from a log (git fsck reads every
// one). Each log is replaced durably; a line a power cut left half-written
// goes too.
Status forgetInLogs(git_repository* repository, const std::string& branch,
                    const std::vector<git_oid>& gone);

// A line of a reference's log: it moved from `from` (null for nothing) to
// `to` at `time`, and why.
std::string logLine(const git_oid* from, const git_oid& to, std::int64_t time,
                    const std::string& why);

// Makes `ids`, objects just written, durable as a snapshot's are: each loose
// one synced with its folder (or their whole file system at once when there
// are many). One found empty or damaged is removed, and this fails with kind
// damaged.
Status syncNewObjects(git_repository* repository, const std::vector<git_oid>& ids);

// Moves the branch to `to` with its log, and HEAD's, replaced whole by `log`
// (lines of `logLine`), for a history whose chain of snapshots was written
// anew: the objects `to` reaches must be durable already. Each log is
// replaced atomically first, then the branch, which is the moment the new
// chain takes the old one's place: a power cut before leaves the branch on
// the old chain, whole, with logs that name only snapshots that exist.
Status replaceBranch(git_repository* repository, const std::string& branch, const git_oid& to,
                     const std::string& log);

}  // namespace tarvine::history
