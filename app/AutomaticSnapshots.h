#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/PendingChanges.h"
#include "platform/posix/FileDescriptor.h"
#include "roots/Keeper.h"

typedef struct _GUnixMountMonitor GUnixMountMonitor;

namespace tarvine::app {

// Snapshots each automatic, unpaused root on its own once it has been quiet
// for a while after a change, or at most PendingChanges::kLongestWait after
// the first change however busy it is. Changes are seen through inotify, one
// watch per folder, and each snapshot reads only the folders that changed
// (a folder made or moved in with all below it); every folder is read at the
// first snapshot, after lost events or a failed snapshot, and now and then. Where the user's
// watches run out (fs.inotify.max_user_watches), that root is instead scanned now and then, which
// the stat cache keeps cheap. A root that is unavailable (its disk unmounted, its folder missing)
// is not watched and not snapshotted, and is said so in the log once; it is looked at again
// whenever the system's mounts change and every kUnavailableCheckSeconds, and watched again as soon
// as it is back. Runs on the thread-default GLib main context.
class AutomaticSnapshots {
 public:
  using Say = std::function<void(const std::string&)>;

  AutomaticSnapshots(roots::Keeper& keeper, std::chrono::milliseconds quiet, Say say);
  ~AutomaticSnapshots();
  AutomaticSnapshots(const AutomaticSnapshots&) = delete;
  AutomaticSnapshots& operator=(const AutomaticSnapshots&) = delete;

  // From now on, follows the automatic, unpaused ones of `roots`; each new one
  // gets a snapshot once quiet, for what changed while nobody watched.
  void follow(const std::vector<roots::Root>& roots);

  // Whether a snapshot of `root` is pending: changes seen and not yet recorded.
  bool pending(const std::string& root) const;

  static constexpr unsigned kUnavailableCheckSeconds = 60;

 private:
  void watchTree(const std::string& root, const std::string& folder);
  // Anything in `root` may have changed: every folder is read.
  void changedAnywhere(const std::string& root);
  // The pending snapshot of `root` timed for when it is due.
  void schedule(const std::string& root);
  void settle(const std::string& root);
  void readEvents();
  // Whether `root` is there: watched afresh and snapshotted once quiet if
  // so, marked unavailable if not.
  void recheck(const std::string& root);
  void markUnavailable(const std::string& root, const Status& why);
  void dropWatches(const std::string& root);
  // The watches of `folder` and the folders below it, which moved away.
  void dropWatchesBelow(const std::string& folder);
  // A disk mounted or unmounted: each root whose device changed is looked at.
  void mountsChanged();

  roots::Keeper& keeper_;
  std::chrono::milliseconds quiet_;
  Say say_;
  FileDescriptor inotify_;
  unsigned source_ = 0;
  unsigned scanSource_ = 0;
  std::map<int, std::pair<std::string, std::string>> watches_;  // watch: root, folder
  std::map<std::string, unsigned> timers_;                      // root: pending snapshot
  std::set<std::string> followed_;
  std::set<std::string> scanned_;  // roots whose watches ran out
  // Roots with a folder that could not be watched: read whole each time.
  std::set<std::string> partlyWatched_;
  std::map<std::string, PendingChanges> pending_;
  std::set<std::string> unavailable_;
  std::map<std::string, dev_t> devices_;  // each watched root's device when it was watched
  unsigned checkSource_ = 0;
  GUnixMountMonitor* mounts_ = nullptr;
};

}  // namespace tarvine::app
