#pragma once

#include <string>

namespace tarvine::roots {

// The history window's program, beside the running program in the bundle,
// in the build tree or where it is installed; empty when there is none.
std::string historyWindowProgram();

}  // namespace tarvine::roots
