#pragma once

#include <git2.h>

#include <optional>
#include <string>

#include "foundation/Status.h"

// The branch's log (git's reflog, where the branch pointed after each move),
// carried to a mirror and back as plain git: a reference of the engine's own
// names a commit without parents whose tree holds the log, whole, as one file.
// A reflog is not sent by any git transport, and without it a history
// adopted from a mirror could not go back to a former snapshot once its
// newest is found damaged (history/Intact.cpp).
namespace tarvine::history::mirror::tips {

// The reference that holds the log, on a mirror.
constexpr const char* kRef = "refs/tarvine/tips";
// The file in its commit's tree.
constexpr const char* kFile = "log";

// The commit that holds the current log of `branch`, made in memory (the
// history's own folder is not written: a push only reads it), and pushed
// from there. Its id depends only on the log's text and the branch's name,
// so that a mirror that holds it already is sent nothing. None when the
// branch has no log.
Result<std::optional<git_oid>> logCommit(git_repository* repository, const std::string& branch);

// Makes kRef name `commit` (made by logCommit) in this repository object
// alone, for a push to send: an in-memory reference over the history's own,
// which stay as they are on disk.
Status offer(git_repository* repository, const git_oid& commit);

// The log that the commit `commit` holds, fetched into `repository` (a
// history just adopted, whose branch's log holds only its adoption), put
// before the lines there: only the lines that moved it to a snapshot
// `repository` has, each linked to the one before as git expects. Durable
// when this returns.
Status restore(git_repository* repository, const std::string& branch, const git_oid& commit);

}  // namespace tarvine::history::mirror::tips
