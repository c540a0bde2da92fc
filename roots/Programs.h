#pragma once

#include <string>

namespace tarvine::roots {

// The history window's program, beside the running program in the bundle,
// in the build tree or where it is installed; empty when there is none.
std::string historyWindowProgram();
// The Tarvine window's program (tarvine-window), found the same way.
std::string mainWindowProgram();

}  // namespace tarvine::roots
