#include "roots/Keeper.h"

#include <glib/gi18n.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "roots/Language.h"

namespace tarvine::roots {
namespace {

using language::formatted;

// `status` with what was being done before its message; its kind and errno stay.
Status during(const std::string& what, const Status& status) {
  // TRANSLATORS: what was being done, then why it failed.
  return Status::failure(status.kind(),
                         formatted(_("%s: %s"), what.c_str(), status.message().c_str()),
                         status.errorNumber());
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
        formatted(rootOnly ? _("not a watched folder: %s") : _("not in a watched folder: %s"),
                  path.c_str()));
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

Result<std::vector<Keeper::Spanned>> Keeper::space() {
  auto listed = states();
  if (!listed.ok()) return listed.status();
  std::vector<Spanned> spanned;
  for (Listed& each : *listed) {
    Spanned entry{std::move(each.root), each.state, {}, 0, Status()};
    entry.bytes = Container::bytesOnDisk(container_.store(entry.root.path));
    // Read as it is, healing nothing and making nothing: a listing only looks.
    auto history = container_.history(entry.root.path, history::History::Opening::checking);
    if (history.ok()) {
      auto span = (*history)->span();
      if (span.ok()) {
        entry.span = *span;
      } else {
        entry.problem = span.status();
      }
    } else if (history.status().kind() != Status::Kind::noHistory) {
      entry.problem = history.status();
    }
    spanned.push_back(std::move(entry));
  }
  return spanned;
}

Result<std::vector<Keeper::Orphan>> Keeper::orphans() {
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  auto stores = container_.stores();
  if (!stores.ok()) return stores.status();
  std::vector<Orphan> orphans;
  for (const Container::Stored& stored : *stores) {
    const bool watched = std::any_of(roots->begin(), roots->end(), [&](const Root& root) {
      return container_.store(root.path) == stored.store;
    });
    if (!watched) {
      orphans.push_back({stored.root, stored.store, Container::bytesOnDisk(stored.store)});
    }
  }
  return orphans;
}

Result<Keeper::Orphan> Keeper::orphan(const std::string& folder) {
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  if (auto place = Container::place(*roots, folder); place && place->relative.empty()) {
    return Status::failure(
        Status::Kind::refused,
        formatted(place->root.isPaused ? _("%s is paused; its history is deleted only once it "
                                           "is no longer watched (tarvine unwatch %s)")
                                       : _("%s is watched; its history is deleted only once it "
                                           "is no longer watched (tarvine unwatch %s)"),
                  folder.c_str(), folder.c_str()));
  }
  auto orphans = this->orphans();
  if (!orphans.ok()) return orphans.status();
  const std::string store = container_.store(folder);
  for (Orphan& orphan : *orphans) {
    if (orphan.folder == folder || orphan.store == store) {
      orphan.folder = folder;
      return std::move(orphan);
    }
  }
  return Status::failure(Status::Kind::noHistory, formatted(_("no history of %s"), folder.c_str()),
                         ENOENT);
}

Result<Keeper::Orphan> Keeper::forget(const std::string& folder) {
  auto lock = container_.lock();
  if (!lock.ok()) return lock.status();
  container_.removeLeftovers();
  auto found = orphan(folder);
  if (!found.ok()) return found.status();
  if (Status removed = container_.removeStore(found->store); !removed.ok()) {
    return during(formatted(_("cannot delete the history of %s"), folder.c_str()), removed);
  }
  return found;
}

Status Keeper::move(const std::string& from, const std::string& to) {
  struct stat info {};
  const int error = ::stat(to.c_str(), &info) != 0 ? errno : 0;
  if (error != 0 || !S_ISDIR(info.st_mode)) {
    return Status::failure(error == ENOENT ? Status::Kind::notFound : Status::Kind::invalid,
                           formatted(_("not a folder: %s"), to.c_str()),
                           error != 0 ? error : ENOTDIR);
  }
  auto lock = container_.lock();
  if (!lock.ok()) return lock.status();
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  auto root =
      std::find_if(roots->begin(), roots->end(), [&](const Root& r) { return r.path == from; });
  if (root == roots->end()) {
    return Status::failure(Status::Kind::notWatched,
                           formatted(_("not a watched folder: %s"), from.c_str()));
  }
  if (from == to) {
    return Status::failure(Status::Kind::invalid,
                           formatted(_("%s is where its history is already"), from.c_str()));
  }
  std::vector<Root> others;
  for (const Root& other : *roots) {
    if (other.path != from) others.push_back(other);
  }
  if (Status may = Container::mayWatch(others, to); !may.ok()) return may;
  // A folder still at `from` (one its history takes for its own) did not move.
  if (::lstat(from.c_str(), &info) == 0) {
    auto history = container_.history(from, history::History::Opening::checking);
    const bool stillThere =
        history.ok() ? (*history)->availability().ok() : S_ISDIR(info.st_mode) != 0;
    if (stillThere) {
      return Status::failure(Status::Kind::refused,
                             formatted(_("%s is still there; a folder is moved once it is gone "
                                         "from its old place (or watch %s as a new folder)"),
                                       from.c_str(), to.c_str()));
    }
  }
  // The history first, then the manifest: cut short in between, the same
  // move is taken up again, and no snapshot of `to` ever starts a history
  // of its own beside the one it keeps.
  if (Status moved = container_.moveStore(from, to); !moved.ok()) return moved;
  auto history = container_.history(to);
  if (!history.ok())
    return during(formatted(_("cannot open the history of %s"), to.c_str()), history.status());
  if (Status recorded = (*history)->recordPlace(); !recorded.ok()) {
    return during(formatted(_("cannot record %s in its history"), to.c_str()), recorded);
  }
  root->path = to;
  if (Status published = container_.publish(*roots); !published.ok()) {
    return during(_("cannot publish the roots"), published);
  }
  return Status();
}

Status Keeper::available(const std::string& folder) {
  auto opened = open(folder, false, /*rootOnly=*/true);
  // A history cannot be opened for a folder that is not there either.
  Status there = opened.ok() ? opened->history->availability() : opened.status();
  if (outcomes_.availability && there.kind() != Status::Kind::notWatched) {
    outcomes_.availability(folder, there);
  }
  return there;
}

Result<Keeper::Watched> Keeper::watch(const std::string& folder, RootMode mode) {
  struct stat info {};
  const int error = ::stat(folder.c_str(), &info) != 0 ? errno : 0;
  if (error != 0 || !S_ISDIR(info.st_mode)) {
    return Status::failure(error == ENOENT ? Status::Kind::notFound : Status::Kind::invalid,
                           formatted(_("not a folder: %s"), folder.c_str()),
                           error != 0 ? error : ENOTDIR);
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
      return during(_("cannot publish the roots"), published);
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
    return Status::failure(Status::Kind::notWatched,
                           formatted(_("not a watched folder: %s"), folder.c_str()));
  }
  if (!change(*root)) roots->erase(root);
  if (Status published = container_.publish(*roots); !published.ok()) {
    return during(_("cannot publish the roots"), published);
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
  return snapshot(path, reason, history::SnapshotOptions(), tidy);
}

Result<Keeper::Taken> Keeper::snapshot(const std::string& path, history::Reason reason,
                                       const history::SnapshotOptions& options, bool tidy) {
  Result<Taken> taken = takeSnapshot(path, reason, options, tidy);
  if (outcomes_.snapshot) outcomes_.snapshot(taken.ok() ? taken->root : rootOf(path), taken);
  return taken;
}

std::string Keeper::rootOf(const std::string& path) const {
  auto roots = container_.roots();
  if (!roots.ok()) return path;
  auto place = Container::place(*roots, path);
  return place ? place->root.path : path;
}

Result<Keeper::Taken> Keeper::takeSnapshot(const std::string& path, history::Reason reason,
                                           const history::SnapshotOptions& options, bool tidy) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  const std::string& root = opened->place.root.path;
  auto taken = opened->history->snapshot(reason, options);
  if (!taken.ok())
    return during(formatted(_("snapshot of %s failed"), root.c_str()), taken.status());
  Taken result{root, std::move(*taken), Status()};
  if (tidy) result.tidied = opened->history->tidy();
  return result;
}

Result<history::Restored> Keeper::restore(const std::string& path,
                                          std::optional<std::string> version) {
  Result<history::Restored> restored = restoreLocked(path, std::move(version));
  if (outcomes_.restore) outcomes_.restore(path, restored);
  return restored;
}

Result<history::Restored> Keeper::restoreLocked(const std::string& path,
                                                std::optional<std::string> version) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  auto restored = opened->history->restore(opened->place.relative, std::move(version));
  if (!restored.ok())
    return during(formatted(_("cannot restore %s"), path.c_str()), restored.status());
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

Result<std::vector<history::VersionFile>> Keeper::fileList(const std::string& path,
                                                           const std::string& version) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->fileList(version, opened->place.relative);
}

Result<std::vector<std::optional<std::uint64_t>>> Keeper::fileSizes(
    const std::string& path, const std::string& version, const std::vector<std::string>& files) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->fileSizes(version, opened->place.relative, files);
}

Status Keeper::writeVersion(const std::string& path, const std::string& version, int fd) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->writeFileVersion(version, opened->place.relative, fd);
}

Result<history::Comparison> Keeper::compare(const std::string& path, const std::string& older,
                                            const std::optional<std::string>& newer) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->compare(opened->place.relative, older, newer);
}

Result<std::vector<history::DeletedFile>> Keeper::deletedFiles(const std::string& path,
                                                               const std::atomic<bool>* stop) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->deletedFiles(opened->place.relative, stop);
}

Status Keeper::saveCopy(const std::string& path, const std::string& version,
                        const std::string& destination,
                        const std::function<bool(const history::CopyProgress&)>& progress) {
  auto opened = open(path, false);
  if (!opened.ok()) return opened.status();
  return opened->history->saveCopy(version, opened->place.relative, destination, progress);
}

Status Keeper::pack(const std::string& folder) {
  auto opened = open(folder, true, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  if (Status packed = opened->history->pack(); !packed.ok()) {
    return during(_("cannot pack"), packed);
  }
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
      return Status::failure(Status::Kind::notWatched,
                             formatted(_("not a watched folder: %s"), folder->c_str()));
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

Result<Keeper::Kept> Keeper::retention(const std::string& folder) {
  auto opened = open(folder, false, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  auto retention = opened->history->retention();
  if (!retention.ok()) return retention.status();
  auto pinned = opened->history->pinned();
  if (!pinned.ok()) return pinned.status();
  return Kept{opened->place.root.path, std::move(*retention), std::move(*pinned)};
}

Result<Keeper::Kept> Keeper::setRetention(const std::string& folder,
                                          const history::Retention& retention) {
  {
    auto opened = open(folder, true, /*rootOnly=*/true);
    if (!opened.ok()) return opened.status();
    if (Status set = opened->history->setRetention(retention); !set.ok()) {
      return during(formatted(_("cannot set what %s keeps"), folder.c_str()), set);
    }
  }
  return this->retention(folder);
}

Result<std::string> Keeper::pin(const std::string& path, const std::string& version) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  return opened->history->pin(version);
}

Result<std::string> Keeper::unpin(const std::string& path, const std::string& version) {
  auto opened = open(path, true);
  if (!opened.ok()) return opened.status();
  return opened->history->unpin(version);
}

Result<Keeper::Thinning> Keeper::thin(const std::string& folder, std::int64_t now, bool dryRun) {
  // A dry run changes nothing, and needs no lock.
  auto opened = open(folder, !dryRun, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  auto thinned = opened->history->thin(now, dryRun);
  if (!thinned.ok())
    return during(formatted(_("cannot thin the history of %s"), folder.c_str()), thinned.status());
  return Thinning{opened->place.root.path, std::move(*thinned)};
}

Result<std::optional<Keeper::Thinning>> Keeper::thinIfDue(const std::string& folder,
                                                          std::int64_t now) {
  {
    auto opened = open(folder, false, /*rootOnly=*/true);
    if (!opened.ok()) return opened.status();
    const auto last = opened->history->lastThinned();
    if (last && now - *last < kThinEverySeconds && now >= *last) {
      return std::optional<Thinning>();
    }
  }
  auto thinned = thin(folder, now);
  if (!thinned.ok()) return thinned.status();
  return std::optional<Thinning>(std::move(*thinned));
}

Result<std::string> Keeper::ignoreFile(const std::string& folder) {
  auto opened = open(folder, false, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  return opened->history->ignoreFile();
}

Result<std::vector<std::string>> Keeper::ignoreRules(const std::string& folder) {
  auto file = ignoreFile(folder);
  if (!file.ok()) return file.status();
  return history::ignoreRules::read(*file);
}

Status Keeper::setIgnoreRules(const std::string& folder, const std::vector<std::string>& patterns) {
  auto opened = open(folder, true, /*rootOnly=*/true);
  if (!opened.ok()) return opened.status();
  return history::ignoreRules::write(opened->history->ignoreFile(), patterns);
}

Result<history::ignoreRules::Count> Keeper::ignoredBy(const std::string& folder,
                                                      const std::vector<std::string>& patterns,
                                                      const std::atomic<bool>* stop) {
  auto roots = container_.roots();
  if (!roots.ok()) return roots.status();
  auto place = Container::place(*roots, folder);
  if (!place || !place->relative.empty()) {
    return Status::failure(Status::Kind::notWatched,
                           formatted(_("not a watched folder: %s"), folder.c_str()));
  }
  // The container, where it lies inside the root, is never in a snapshot.
  std::error_code failed;
  return history::ignoreRules::count(
      place->root.path, patterns,
      std::filesystem::weakly_canonical(container_.path(), failed).string(), stop);
}

}  // namespace tarvine::roots
