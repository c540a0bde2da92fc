#include "roots/Programs.h"

#include <unistd.h>

#include <filesystem>

namespace tarvine::roots {
namespace {

std::string bundledProgram(const char* name) {
  std::error_code failed;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (failed) return "";
  // Beside the application in its bundle; the command line finds the bundle
  // from the build tree, or from bin/ where it is installed.
  for (const char* place :
       {"", "../Tarvine.app/Contents/MacOS/", "../lib/tarvine/Tarvine.app/Contents/MacOS/"}) {
    const std::filesystem::path program = self.parent_path() / place / name;
    if (::access(program.c_str(), X_OK) == 0) return program.lexically_normal().string();
  }
  return "";
}

}  // namespace

std::string historyWindowProgram() { return bundledProgram("tarvine-history"); }

std::string mainWindowProgram() { return bundledProgram("tarvine-window"); }

}  // namespace tarvine::roots
