#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Container.h"
#include "requests/HistoryRequest.h"

namespace tarvine::app {

// Carries out what is asked of the history: the extension's requests, the
// command line's commands and automatic snapshots, each under the
// container's lock, reading the roots afresh. Each answer is what was done,
// or why nothing was, in lines for people.
class Keeper {
 public:
  explicit Keeper(Container container) : container_(std::move(container)) {}

  struct Outcome {
    bool ok = true;
    std::vector<std::string> lines;
  };

  Outcome carryOut(const HistoryRequest& request);

  // Watches `folder` (a resolved path): a new root, or a paused one resumed;
  // its first snapshot is taken.
  Outcome watch(const std::string& folder, const std::string& mode);
  Outcome pause(const std::string& folder);
  Outcome unwatch(const std::string& folder);
  Outcome setMode(const std::string& folder, const std::string& mode);
  // With `tidy`, the history is then packed as git's gc --auto would (the
  // application does it; the command line leaves it to `tarvine pack`).
  Outcome snapshot(const std::string& path, history::Reason reason, bool tidy = false);
  // What was restored goes to `restored` too, when given (the window offers its undo).
  Outcome restore(const std::string& path, std::optional<std::string> version,
                  history::Restored* restored = nullptr);
  Outcome versions(const std::string& path);

  const Container& container() const { return container_; }

  // Finds the root that holds `path` and opens its history for `use`; with
  // `changes`, under the container's lock.
  using Use = std::function<Outcome(history::History&, const Container::Place&)>;
  Outcome withHistory(const std::string& path, bool changes, const Use& use);

 private:
  Outcome changeRoot(const std::string& folder, const char* done,
                     const std::function<bool(Root&)>& change);

  Container container_;
};

// An absolute path with links resolved; for what no longer exists (a deleted
// file to restore), its folder's.
std::string resolvedPath(const std::string& path);

// A path as given: without trailing slashes, but "/" stays.
std::string withoutTrailingSlash(std::string path);

}  // namespace tarvine::app
