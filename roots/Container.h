#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"
#include "platform/posix/FileDescriptor.h"
#include "shared/WatchedRootsManifest.h"

namespace tarvine::roots {

using Root = WatchedRootsManifest::Root;

// The group container as the application keeps it: the watched roots, kept in
// the manifest it publishes ("roots.json", which is also where they persist
// between runs), each root's history under "history/", and a lock that
// serialises whoever changes them: the running application and the `tarvine`
// command line. Nothing is cached: each change reads the manifest afresh
// under the lock.
class Container {
 public:
  explicit Container(std::string path) : path_(std::move(path)) {}
  // The container in the user's data home ($XDG_DATA_HOME/GROUP).
  static Container forGroup(const std::string& groupIdentifier);

  const std::string& path() const { return path_; }

  // Held until destroyed; waits for another holder to finish.
  class Lock {
   public:
    explicit Lock(FileDescriptor fd) : fd_(std::move(fd)) {}

   private:
    FileDescriptor fd_;  // closing it releases the lock
  };
  Result<Lock> lock() const;

  // The published roots; none when nothing is published yet.
  Result<std::vector<Root>> roots() const;
  // Publishes `roots` atomically (written beside, synced, renamed, the folder
  // synced), the innermost first: the extension's menu takes the first root
  // that holds a path, and so finds the one the application does.
  Status publish(std::vector<Root> roots) const;

  // The history of `root`, made on first use (not when opened for checking).
  Result<std::unique_ptr<history::History>> history(
      const std::string& root,
      history::History::Opening opening = history::History::Opening::writing) const;

  // Where the history of `root` is kept: a folder of "history/" named by the
  // hash of the root's path.
  std::string store(const std::string& root) const;
  // Every history in the container, each with the folder it was made for
  // (empty when its config cannot say).
  struct Stored {
    std::string store;
    std::string root;
  };
  Result<std::vector<Stored>> stores() const;
  // Deletes the history in `store`, under the lock: it is first renamed aside
  // (a name no history has, synced), then removed, so that a removal cut
  // short never leaves a part of a history where one is looked for.
  Status removeStore(const std::string& store) const;
  // What removals cut short left aside, removed; under the lock.
  void removeLeftovers() const;
  static constexpr std::string_view removingPrefix = ".tarvine-removing-";
  // Gives the history of `from` to `to`, under the lock (a rename, synced);
  // refused where both have one. Nothing to do when `from` has none (a move
  // cut short after the rename, taken up again).
  Status moveStore(const std::string& from, const std::string& to) const;

  // The bytes a folder takes on its disk (its files' blocks, each file once),
  // without following links; what cannot be read counts as nothing.
  static std::uint64_t bytesOnDisk(const std::string& folder);

  // The root that holds `path` (resolved, absolute) by the rule the menu
  // uses: the first in the manifest's order, paths compared as Unicode text;
  // and the path below it ("" for the root itself).
  struct Place {
    Root root;
    std::string relative;
  };
  static std::optional<Place> place(const std::vector<Root>& roots, const std::string& path);

  // Whether `folder` may become a root beside `roots`: one inside a watched
  // folder, or around one, is refused (its files would be kept twice).
  static Status mayWatch(const std::vector<Root>& roots, const std::string& folder);

 private:
  std::string path_;
};

}  // namespace tarvine::roots
