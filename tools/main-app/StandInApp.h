#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/PosixFileSystem.h"
#include "shared/WatchedRootsManifest.h"
#include "tools/main-app/SpoolReader.h"

typedef struct _GApplication GApplication;
typedef struct _GFileMonitor GFileMonitor;
typedef struct _GMainLoop GMainLoop;

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

  // Runs until SIGINT or SIGTERM. A second launch only activates the first
  // over the session bus; without a bus that answers, it finds the container
  // taken and exits.
  int run(const char* programName);

  // Handles every finished request in the spool.
  void drainSpool();

  // `text` with control characters and backslashes escaped, so that nothing
  // read from a file or a name can forge a line of output.
  static std::string printable(std::string_view text);

 private:
  // 0 when this instance now consumes the container, else how to exit.
  int prepareContainer();
  bool publishManifest();
  void activated();
  void watchSpool();

  Options options_;
  PosixFileSystem fileSystem_;
  std::string container_;
  std::string spool_;
  std::optional<SpoolReader> reader_;
  GApplication* application_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GFileMonitor* monitor_ = nullptr;
  bool started_ = false;
};

}  // namespace tarvine
