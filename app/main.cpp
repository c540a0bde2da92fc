// tarvine-app: Tarvine's main application on Linux.

#include <glib/gi18n.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "app/MainApp.h"
#include "roots/Container.h"
#include "roots/Language.h"
#include "shared/Identifiers.h"
#include "shared/RootMatch.h"

namespace {

using tarvine::roots::language::formatted;

// The usage, in the user's language once the text domain is bound.
constexpr const char* kUsage =
    N_("usage: tarvine-app [--id APP_ID] [--group GROUP_ID] [--quiet-ms MS] [--window]\n"
       "                   [[--paused] [--manual] FOLDER]...\n"
       "Keeps the history of the watched folders and carries out the extension's\n"
       "requests. Folders given replace the watched ones; without any, those watched\n"
       "before are kept. --paused and --manual apply to the folder that follows them.\n"
       "An automatic folder gets a snapshot once it has been quiet for MS\n"
       "milliseconds (3000) after a change. --window shows the Tarvine window (that\n"
       "of the instance already running, if one is).\n");

}  // namespace

int main(int argc, char** argv) {
  tarvine::roots::language::useUserLanguage();
  const char* usage = _(kUsage);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // The spool and the manifest are local files: no GVfs daemon is needed, and
  // none is started on the session bus.
  ::setenv("GIO_USE_VFS", "local", 0);
  tarvine::app::MainApp::Options options;
  options.applicationId = "com.quillfen.tarvine";
  options.groupIdentifier = std::string(tarvine::Identifiers::defaultAppGroupIdentifier);
  bool paused = false;
  bool manual = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--id" || arg == "--group") && i + 1 < argc) {
      (arg == "--id" ? options.applicationId : options.groupIdentifier) = argv[++i];
    } else if (arg == "--quiet-ms" && i + 1 < argc) {
      char* end = nullptr;
      const long quiet = std::strtol(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || quiet < 0 || quiet > 3'600'000) {
        std::cerr << "tarvine-app: " << _("--quiet-ms takes milliseconds, 0 to 3600000") << "\n"
                  << usage;
        return 2;
      }
      options.quiet = std::chrono::milliseconds(quiet);
    } else if (arg == "--window") {
      options.showWindow = true;
    } else if (arg == "--paused") {
      paused = true;
    } else if (arg == "--manual") {
      manual = true;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << usage;
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "tarvine-app: " << formatted(_("unknown or incomplete option %s"), arg.c_str())
                << "\n"
                << usage;
      return 2;
    } else {
      char resolved[PATH_MAX];
      struct stat info {};
      if (::realpath(arg.c_str(), resolved) == nullptr || ::stat(resolved, &info) != 0 ||
          !S_ISDIR(info.st_mode)) {
        std::cerr << "tarvine-app: " << formatted(_("not a folder: %s"), arg.c_str()) << "\n";
        return 2;
      }
      // One folder inside or around another would be kept twice.
      if (auto overlap = tarvine::roots::Container::mayWatch(options.roots, resolved);
          !overlap.ok()) {
        std::cerr << "tarvine-app: " << overlap.message() << "\n";
        return 2;
      }
      // Published resolved, as the extension compares resolved targets with it.
      options.roots.push_back({resolved, paused,
                               std::string(rawValue(manual ? tarvine::RootMode::manual
                                                           : tarvine::RootMode::automatic))});
      paused = manual = false;
    }
  }
  if (!tarvine::PosixFileSystem::isGroupIdentifier(options.groupIdentifier)) {
    std::cerr << "tarvine-app: "
              << formatted(_("not a group identifier: \"%s\" (one folder name: not empty, no "
                             "\"/\", not \".\" or \"..\")"),
                           options.groupIdentifier.c_str())
              << "\n";
    return 2;
  }
  if (paused || manual) {
    std::cerr << "tarvine-app: " << _("--paused and --manual must be followed by a folder") << "\n"
              << usage;
    return 2;
  }
  tarvine::app::MainApp app(std::move(options));
  return app.run(argv[0]);
}
