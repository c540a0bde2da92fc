#include "roots/Keeper.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvine::roots {
namespace {

// `status` with what was being done before its message; its kind and errno stay.
Status during(const std::string& what, const Status& status) {
  return Status::failure(status.kind(), what + ": " + status.message(), status.errorNumber());
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

Result<Keeper::Opened> Keeper::open(const std::string& path, bool changes, bool rootOnly) {
  std::optional<Container::Lock> lock;
  if (changes) {
    auto locked = container_.lock();
    if (!locked.ok()) return locked.status();
    lock.emplace(std::move(*locked));
  }
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  auto place = Container::place(*roots, path);
  if (!place || (rootOnly && !place->relative.empty())) {
    return Status::failure(
        Status::Kind::notWatched,
        (rootOnly ? "not a watched folder: " : "not in a watched folder: ") + path);
  }
  using Opening = history::History::Opening;
  auto history =
      container_.history(place->root.path, changes ? Opening::writing : Opening::reading);
  // A damaged history heals as it is opened for writing, under the lock.
  if (!history.ok() && !changes && history.status().kind() == Status::Kind::damaged) {
    return open(path, true, rootOnly);
  }
  if (!history.ok()) return history.status();
  if ((*history)->healed() && tell_) tell_({place->root.path, *(*history)->healed()});
  return Opened{std::move(*history), std::move(*place), std::move(lock)};
}

Result<std::vector<Keeper::Listed>> Keeper::states() {
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  std::vector<Listed> listed;
  for (const Root& root : *roots) {
    State state = modeOf(root) == RootMode::manual ? State::manual : State::automatic;
    if (root.isPaused) {
      state = State::paused;
    } else if (available(root.path).kind() == Status::Kind::unavailable) {
      state = State::unavailable;
    }
    listed.push_back({root, state});
  }
  return listed;
}

Status Keeper::available(const std::string& folder) {
  auto opened = open(folder, false, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  return opened->history->availability();
}

Result<Keeper::Watched> Keeper::watch(const std::string& folder, RootMode mode) {
  struct stat info {};
  const int error = ::stat(folder.c_str(), &info) != 0 ? errno : 0;
  if (error != 0 || !S_ISDIR(info.st_mode)) {
    return Status::failure(error == ENOENT ? Status::Kind::notFound : Status::Kind::invalid,
                           "not a folder: " + folder, error != 0 ? error : ENOTDIR);
  }
  Watched watched{folder, Watched::Change::added, std::nullopt};
  {
    auto lock = container_.lock();
    if (!lock.ok()) return lock.status();
    auto roots = container_.roots();
    if (!roots.ok()) return roots.status();
    if (Status may = Container::mayWatch(*roots, folder); !may.ok()) return may;
    auto same = std::find_if(roots->begin(), roots->end(),
                             [&](const Root& root) { return root.path == folder; });
    if (same != roots->end() && !same->isPaused) {
      watched.change = Watched::Change::already;
      return watched;
    }
    if (same != roots->end()) {
      same->isPaused = false;
      watched.change = Watched::Change::resumed;
    } else {
      roots->push_back({folder, false, std::string(rawValue(mode))});
    }
    if (Status published = container_.publish(*roots); !published.ok()) {
      return during("cannot publish the roots", published);
    }
  }
  watched.first = snapshot(folder, history::Reason::enabled);
  return watched;
}

template <class Change>
Status Keeper::changeRoot(const std::string& folder, const Change& change) {
  auto lock = container_.lock();
  if (!lock.ok()) return lock.status();
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  auto root =
      std::find_if(roots->begin(), roots->end(), [&](const Root& r) { return r.path == folder; });
  if (root == roots->end()) {
    return Status::failure(Status::Kind::notWatched, "not a watched folder: " + folder);
  }
  if (!change(*root)) roots->erase(root);
  if (Status published = container_.publish(*roots); !published.ok()) {
    return during("cannot publish the roots", published);
  }
  return Status();
}

Status Keeper::pause(const std::string& folder) {
  return changeRoot(folder, [](Root& root) { return root.isPaused = true; });
}

Status Keeper::unwatch(const std::string& folder) {
  return changeRoot(folder, [](Root&) { return false; });
}

Status Keeper::setMode(const std::string& folder, RootMode mode) {
  return changeRoot(folder, [&](Root& root) {
    root.mode = std::string(rawValue(mode));
    return true;
  });
}

Result<Keeper::Taken> Keeper::snapshot(const std::string& path, history::Reason reason, bool tidy) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  const std::string& root = opened->place.root.path;
  auto taken = opened->history->snapshot(reason);
  if (!taken.ok()) return during("snapshot of " + root + " failed", taken.status());
  Taken result{root, std::move(*taken), Status()};
  if (tidy) result.tidied = opened->history->tidy();
  return result;
}

Result<Keeper::Taken> Keeper::snapshot(const std::string& path, history::Reason reason,
                                       const history::SnapshotOptions& options, bool tidy) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  const std::string& root = opened->place.root.path;
  auto taken = opened->history->snapshot(reason, options);
  if (!taken.ok()) return during("snapshot of " + root + " failed", taken.status());
  Taken result{root, std::move(*taken), Status()};
  if (tidy) result.tidied = opened->history->tidy();
  return result;
}

Result<history::Restored> Keeper::restore(const std::string& path,
                                          std::optional<std::string> version) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  auto restored = opened->history->restore(opened->place.relative, std::move(version));
  if (!restored.ok()) return during("cannot restore " + path, restored.status());
  return restored;
}

Result<Keeper::Listing> Keeper::versions(const std::string& path, std::size_t limit, bool current) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  history::History& history = *opened->history;
  const std::string& relative = opened->place.relative;
  auto versions = history.versions(relative, limit);
  if (!versions.ok()) return versions.status();
  Listing listing;
  listing.root = opened->place.root.path;
  listing.relative = relative;
  listing.repository = history.repository();
  listing.versions = std::move(*versions);
  listing.healed = history.healed();
  if (current && !relative.empty()) {
    // What cannot be read now is shown as differing from every version.
    auto object = history.currentObject(relative);
    if (object.ok()) listing.current = *object;
  }
  return listing;
}

Result<std::vector<history::VersionFile>> Keeper::files(const std::string& path,
                                                        const std::string& version) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->files(version, opened->place.relative);
}

Status Keeper::writeVersion(const std::string& path, const std::string& version, int fd) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->writeFileVersion(version, opened->place.relative, fd);
}

Status Keeper::pack(const std::string& folder) {
  auto opened = open(folder, true, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  if (Status packed = opened->history->pack(); !packed.ok()) return during("cannot pack", packed);
  return Status();
}

Result<std::vector<Keeper::Checked>> Keeper::check(const std::optional<std::string>& folder,
                                                   const std::atomic<bool>* stop) {
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  std::vector<Root> checked = *roots;
  if (folder) {
    auto place = Container::place(*roots, *folder);
    if (!place || !place->relative.empty()) {
      return Status::failure(Status::Kind::notWatched, "not a watched folder: " + *folder);
    }
    checked = {place->root};
  }
  std::vector<Checked> verdicts;
  for (const Root& root : checked) {
    auto history = container_.history(root.path, history::History::Opening::checking);
    if (!history.ok()) {
      verdicts.push_back({root.path, history.status().kind() == Status::Kind::noHistory
                                         ? Result<history::CheckReport>(history::CheckReport{})
                                         : Result<history::CheckReport>(history.status())});
      continue;
    }
    verdicts.push_back({root.path, (*history)->check(stop)});
  }
  return verdicts;
}

Result<std::string> Keeper::ignoreFile(const std::string& folder) {
  auto opened = open(folder, false, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  return opened->history->ignoreFile();
}

}  // namespace tarvine::roots
