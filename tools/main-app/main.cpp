// tarvine-app: a stand-in for Tarvine's main application.

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "shared/Identifiers.h"
#include "tools/main-app/StandInApp.h"

namespace {

constexpr const char* kUsage =
    "usage: tarvine-app [--id APP_ID] [--group GROUP_ID] [[--paused] [--manual] FOLDER]...\n"
    "Publishes the folders as watched roots and handles the extension's requests.\n"
    "--paused and --manual apply to the folder that follows them.\n";

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The spool and the manifest are local files: no GVfs daemon is needed, and
  // none is started on the session bus.
  ::setenv("GIO_USE_VFS", "local", 0);
  tarvine::StandInApp::Options options;
  options.applicationId = "com.quillfen.tarvine";
  options.groupIdentifier = std::string(tarvine::Identifiers::defaultAppGroupIdentifier);
  bool paused = false;
  bool manual = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--id" || arg == "--group") && i + 1 < argc) {
      (arg == "--id" ? options.applicationId : options.groupIdentifier) = argv[++i];
    } else if (arg == "--paused") {
      paused = true;
    } else if (arg == "--manual") {
      manual = true;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "tarvine-app: unknown or incomplete option " << arg << "\n" << kUsage;
      return 2;
    } else {
      char resolved[PATH_MAX];
      struct stat info {};
      if (::realpath(arg.c_str(), resolved) == nullptr || ::stat(resolved, &info) != 0 ||
          !S_ISDIR(info.st_mode)) {
        std::cerr << "tarvine-app: not a folder: " << arg << "\n";
        return 2;
      }
      // Published resolved, as the extension compares resolved targets with it.
      options.roots.push_back({resolved, paused, manual ? "manual" : "automatic"});
      paused = manual = false;
    }
  }
  if (!tarvine::PosixFileSystem::isGroupIdentifier(options.groupIdentifier)) {
    std::cerr << "tarvine-app: not a group identifier: \"" << options.groupIdentifier
              << "\" (one folder name: not empty, no \"/\", not \".\" or \"..\")\n";
    return 2;
  }
  if (paused || manual) {
    std::cerr << "tarvine-app: --paused and --manual must be followed by a folder\n" << kUsage;
    return 2;
  }
  tarvine::StandInApp app(std::move(options));
  return app.run(argv[0]);
}
