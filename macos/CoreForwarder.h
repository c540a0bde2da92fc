// The class's calls into the core, in plain C++: one at a time per extension
// object, as Apple does not say on which thread the Finder calls, and with
// nothing thrown unwinding into the Finder's call. Kept out of Objective-C++
// so that the catch also works where the check runs it: with GNUstep's
// runtime, Objective-C++ handlers do not catch C++ exceptions.
#pragma once

#include <mutex>

#include "extension/FinderSync.h"

namespace tarvine::apple {

using Command = void (FinderSync::*)(const MenuItem*);

// Runs `command` on `core` holding `turn`; a failure (out of memory while the
// request is made) drops the command.
void forwardCommand(std::mutex& turn, FinderSync& core, Command command) noexcept;

// The core's menu for `kind`, holding `turn` (the core gives the empty menu on failure).
Menu forwardMenu(std::mutex& turn, FinderSync& core, MenuKind kind);

}  // namespace tarvine::apple
