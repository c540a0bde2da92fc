#include "app/Keeper.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "platform/linux/LinuxBookmarks.h"

namespace tarvine::app {
namespace {

Keeper::Outcome failed(std::string line) { return {false, {std::move(line)}}; }

std::string when(std::int64_t time) {
  char text[32];
  std::tm parts{};
  const std::time_t seconds = time;
  ::localtime_r(&seconds, &parts);
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

const char* changeName(history::Version::Change change) {
  switch (change) {
    case history::Version::Change::added:
      return "added";
    case history::Version::Change::modified:
      return "modified";
    case history::Version::Change::deleted:
      return "deleted";
  }
  return "modified";
}

}  // namespace

std::string resolvedPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  const auto slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (::realpath(folder.c_str(), resolved) == nullptr) return path;
  return std::string(resolved) + (std::strcmp(resolved, "/") == 0 ? "" : "/") + name;
}

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

Keeper::Outcome Keeper::carryOut(const HistoryRequest& request) {
  const std::string target = withoutTrailingSlash(request.target);
  switch (request.kind) {
    case HistoryRequest::Kind::enableHistory: {
      // The folder named must still be the one the extension saw: a folder
      // replaced since (another one at the same path) is not enabled.
      if (request.bookmark) {
        auto resolved = LinuxBookmarks::resolve(*request.bookmark);
        if (!resolved || withoutTrailingSlash(*resolved) != target) {
          return failed("refused to enable " + target +
                        ": the folder was replaced since it was picked");
        }
      }
      return watch(target, "automatic");
    }
    case HistoryRequest::Kind::disableHistory:
      return pause(target);
    case HistoryRequest::Kind::snapshotNow:
      return snapshot(target, history::Reason::manual, /*tidy=*/true);
    case HistoryRequest::Kind::restorePrevious:
      return restore(target, std::nullopt);
    case HistoryRequest::Kind::showHistory:
      return versions(target);
  }
  return failed("unknown request for " + target);
}

Keeper::Outcome Keeper::watch(const std::string& folder, const std::string& mode) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return failed("not a folder: " + folder);
  }
  {
    auto lock = container_.lock();
    if (!lock.ok()) return failed(lock.status().message());
    auto roots = container_.roots();
    if (!roots.ok()) return failed(roots.status().message());
    auto place = Container::place(*roots, folder);
    if (place && !place->relative.empty()) {
      return failed(folder + " is inside " + place->root.path + ", which is watched already");
    }
    if (place && !place->root.isPaused) return {true, {folder + " is watched already"}};
    if (place) {
      for (Root& root : *roots) {
        if (root.path == folder) root.isPaused = false;
      }
    } else {
      roots->push_back({folder, false, mode});
    }
    if (Status published = container_.publish(*roots); !published.ok()) {
      return failed("cannot publish the roots: " + published.message());
    }
  }
  Outcome outcome = snapshot(folder, history::Reason::enabled);
  outcome.lines.insert(outcome.lines.begin(), "watching " + folder);
  return outcome;
}

Keeper::Outcome Keeper::changeRoot(const std::string& folder, const char* done,
                                   const std::function<bool(Root&)>& change) {
  auto lock = container_.lock();
  if (!lock.ok()) return failed(lock.status().message());
  auto roots = container_.roots();
  if (!roots.ok()) return failed(roots.status().message());
  auto root =
      std::find_if(roots->begin(), roots->end(), [&](const Root& r) { return r.path == folder; });
  if (root == roots->end()) return failed("not a watched folder: " + folder);
  if (!change(*root)) roots->erase(root);
  if (Status published = container_.publish(*roots); !published.ok()) {
    return failed("cannot publish the roots: " + published.message());
  }
  return {true, {std::string(done) + " " + folder}};
}

Keeper::Outcome Keeper::pause(const std::string& folder) {
  return changeRoot(folder, "paused", [](Root& root) { return root.isPaused = true; });
}

Keeper::Outcome Keeper::unwatch(const std::string& folder) {
  // The history stays in the container, as it was.
  return changeRoot(folder, "no longer watching", [](Root&) { return false; });
}

Keeper::Outcome Keeper::setMode(const std::string& folder, const std::string& mode) {
  if (mode != "automatic" && mode != "manual") return failed("not a mode: " + mode);
  return changeRoot(folder, ("mode " + mode + " for").c_str(), [&](Root& root) {
    root.mode = mode;
    return true;
  });
}

Keeper::Outcome Keeper::withHistory(const std::string& path, bool changes, const Use& use) {
  std::optional<Container::Lock> held;
  if (changes) {
    auto lock = container_.lock();
    if (!lock.ok()) return failed(lock.status().message());
    held.emplace(std::move(*lock));
  }
  auto roots = container_.roots();
  if (!roots.ok()) return failed(roots.status().message());
  auto place = Container::place(*roots, path);
  if (!place) return failed("not in a watched folder: " + path);
  auto history = container_.history(place->root.path);
  if (!history.ok()) return failed(history.status().message());
  return use(**history, *place);
}

Keeper::Outcome Keeper::snapshot(const std::string& path, history::Reason reason, bool tidy) {
  return withHistory(path, true, [&](history::History& history, const Container::Place& place) {
    auto taken = history.snapshot(reason);
    if (!taken.ok()) {
      return failed("snapshot of " + place.root.path + " failed: " + taken.status().message());
    }
    Outcome outcome;
    outcome.lines.push_back(taken->id.empty()
                                ? "no change in " + place.root.path + " since its last snapshot"
                                : "snapshot " + taken->id.substr(0, 12) + " of " + place.root.path +
                                      " (" + std::to_string(taken->filesRead) + " file(s) read)");
    for (const std::string& skipped : taken->skipped) outcome.lines.push_back("skipped " + skipped);
    if (tidy) {
      if (tarvine::Status tidied = history.tidy(); !tidied.ok()) {
        outcome.lines.push_back("cannot pack the history yet: " + tidied.message());
      }
    }
    return outcome;
  });
}

Keeper::Outcome Keeper::restore(const std::string& path, std::optional<std::string> version,
                                history::Restored* result) {
  return withHistory(path, true, [&](history::History& history, const Container::Place& place) {
    auto restored = history.restore(place.relative, std::move(version));
    if (!restored.ok()) {
      return failed("cannot restore " + path + ": " + restored.status().message());
    }
    if (result != nullptr) *result = *restored;
    return Outcome{true,
                   {"restored " + path + " to " + restored->version.substr(0, 12) + " (" +
                    std::to_string(restored->written.size()) + " file(s) written)"}};
  });
}

Keeper::Outcome Keeper::versions(const std::string& path) {
  return withHistory(path, false, [&](history::History& history, const Container::Place& place) {
    auto versions = history.versions(place.relative);
    if (!versions.ok()) return failed(versions.status().message());
    Outcome outcome;
    outcome.lines.push_back(std::to_string(versions->size()) + " version(s) of " + path);
    for (const history::Version& version : *versions) {
      outcome.lines.push_back(
          version.id.substr(0, 12) + " " + when(version.time) + " " + changeName(version.change) +
          " (" + std::string(history::reasonName(version.reason)) + ")" +
          (version.size ? ", " + std::to_string(*version.size) + " bytes" : ""));
    }
    return outcome;
  });
}

}  // namespace tarvine::app
