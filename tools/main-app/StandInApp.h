#pragma once

#include <string>
#include <vector>

#include "platform/posix/PosixFileSystem.h"
#include "shared/WatchedRootsManifest.h"

typedef struct _GApplication GApplication;
typedef struct _GFileMonitor GFileMonitor;

namespace tarvine {

// A stand-in for the main application, so that the extension's loop can be
// seen and tested for real: it publishes "roots.json" into the group
// container, takes each request out of the spool and says what it got.
class StandInApp {
 public:
  struct Options {
    std::string applicationId;
    std::string groupIdentifier;
    std::vector<WatchedRootsManifest::Root> roots;
  };

  explicit StandInApp(Options options);
  ~StandInApp();
  StandInApp(const StandInApp&) = delete;
  StandInApp& operator=(const StandInApp&) = delete;

  // Runs until SIGINT or SIGTERM; a second launch only activates the first.
  int run(const char* programName);

  // Handles every finished request in the spool; temporary files are never read.
  void drainSpool();

 private:
  bool prepareContainer();
  void activated();

  Options options_;
  PosixFileSystem fileSystem_;
  std::string container_;
  std::string spool_;
  GApplication* application_ = nullptr;
  GFileMonitor* monitor_ = nullptr;
  bool started_ = false;
};

}  // namespace tarvine
