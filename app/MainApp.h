#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/AutomaticSnapshots.h"
#include "app/NotificationsDesktop.h"
#include "app/QuietMirrors.h"
#include "app/QuietThinning.h"
#include "app/SpoolReader.h"
#include "platform/posix/PosixFileSystem.h"
#include "roots/Keeper.h"
#include "shared/WatchedRootsManifest.h"

typedef struct _GApplication GApplication;
typedef struct _GFileMonitor GFileMonitor;
typedef struct _GMainLoop GMainLoop;

namespace tarvine::app {

// The main application on Linux: it publishes "roots.json" into the group
// container, takes each request out of the spool, says what it got, and has
// the Keeper carry it out on the roots' history.
class MainApp {
 public:
  struct Options {
    std::string applicationId;
    std::string groupIdentifier;
    std::vector<WatchedRootsManifest::Root> roots;
    // How long an automatic root must be quiet after a change before its snapshot.
    std::chrono::milliseconds quiet{3000};
    // Shows the Tarvine window (the desktop entry's launch), also when
    // another instance runs already: a plain activation is the extension's
    // wake-up, which must not open it.
    bool showWindow = false;
  };

  explicit MainApp(Options options);
  ~MainApp();
  MainApp(const MainApp&) = delete;
  MainApp& operator=(const MainApp&) = delete;

  // Runs until SIGINT or SIGTERM. A second launch only activates the first
  // over the session bus; without a bus that answers, it finds the container
  // taken and exits.
  int run(const char* programName);

  // Handles every finished request in the spool.
  void drainSpool();

  // `text` with control characters and backslashes escaped, so that nothing
  // read from a file or a name can forge a line of output.
  static std::string printable(std::string_view text);

  // A file in the container while the application runs, removed when it
  // ends cleanly: found at start, it says the last run did not, and every
  // history is checked.
  static constexpr std::string_view runningMarkerName = ".tarvine-app-running";

 private:
  // 0 when this instance now consumes the container, else how to exit.
  int prepareContainer();
  bool publishManifest();
  void activated();
  // Starts the history window for `target`; false when none can be shown.
  bool showWindow(const std::string& target);
  // Starts the Tarvine window (tarvine-window), which comes to the front if
  // it is open already, with `folder` selected when one is given; false when
  // it cannot be shown.
  bool showMainWindow(const std::string& folder = "");
  void watchSpool();
  // Automatic snapshots follow the published roots, whoever changes them.
  void followRoots();
  // Thins each root's history as its policy says, at most once a
  // Keeper::kThinEverySeconds, in the main loop's quiet moments (QuietThinning).
  void thinWhenQuiet();
  void sayThinned(const std::string& root, const QuietThinning::Answer& thinned);
  // Pushes each root's mirrors after its snapshots, in the main loop's quiet
  // moments, backing off from one that cannot be reached (QuietMirrors).
  void mirrorWhenQuiet();
  // Marks the run, and checks every history in the background when the
  // last run did not end cleanly.
  void markRunning();
  // Removes the mark, unless a check it asked for could not finish.
  void markStopped();

  Options options_;
  PosixFileSystem fileSystem_;
  std::string container_;
  std::string spool_;
  std::optional<SpoolReader> reader_;
  std::optional<roots::Keeper> keeper_;
  std::optional<AutomaticSnapshots> automatic_;
  // With a bus: what goes wrong, and each restore, told on the desktop.
  std::optional<NotificationsDesktop> notifications_;
  GFileMonitor* manifestMonitor_ = nullptr;
  GApplication* application_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GFileMonitor* monitor_ = nullptr;
  bool started_ = false;
  std::thread checker_;
  std::atomic<bool> stopChecking_{false};
  std::atomic<bool> checked_{true};
  std::optional<QuietThinning> thinning_;
  std::optional<QuietMirrors> mirroring_;
};

}  // namespace tarvine::app
