#pragma once

#include <git2.h>

#include "foundation/Status.h"

namespace tarvine::history {

// Puts a front before the history's loose objects that starts writing each
// object it stores to the disk at once, without waiting: by the time a
// snapshot syncs what it stored (see recordSnapshot), the disk has mostly
// written it while the rest of the folder was being read, rather than all
// of it at the end. Objects are stored exactly as git's loose objects are.
Status writeBackAsStored(git_repository* repository);

}  // namespace tarvine::history
