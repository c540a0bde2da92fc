#pragma once

#include <git2.h>

#include <string>

#include "foundation/Status.h"
#include "history/History.h"

namespace tarvine::history {

// Records `tree` as a new snapshot on the history's branch, after the newest
// one; the snapshot's id, or "" when the newest already has that tree
// (nothing changed, nothing recorded).
Result<std::string> recordSnapshot(git_repository* repository, const git_oid& tree, Reason reason,
                                   const std::string& root);

}  // namespace tarvine::history
