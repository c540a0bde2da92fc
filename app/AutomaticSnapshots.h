#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/FileDescriptor.h"
#include "roots/Keeper.h"

namespace tarvine::app {

// Snapshots each automatic, unpaused root on its own once it has been quiet
// for a while after a change. Changes are seen through inotify, one watch per
// folder; where the user's watches run out (fs.inotify.max_user_watches), that
// root is instead scanned now and then, which the stat cache keeps cheap. Runs
// on the thread-default GLib main context.
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

 private:
  void watchTree(const std::string& root, const std::string& folder);
  void changed(const std::string& root);
  void settle(const std::string& root);
  void readEvents();

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
};

}  // namespace tarvine::app
