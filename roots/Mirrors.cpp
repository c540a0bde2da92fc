#include "roots/Mirrors.h"

#include <glib/gi18n.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "history/Durable.h"
#include "roots/Language.h"

namespace tarvine::roots::mirrors {
namespace {

namespace mirror = history::mirror;
using language::formatted;

// The watched roots `folder` names (every one without it).
Result<std::vector<std::string>> chosen(const Container& container,
                                        const std::optional<std::string>& folder) {
  auto roots = container.roots();
  if (!roots.ok()) return roots.status();
  std::vector<std::string> paths;
  for (const Root& root : *roots) {
    if (!folder || root.path == *folder) paths.push_back(root.path);
  }
  if (folder && paths.empty()) {
    return Status::failure(Status::Kind::notWatched,
                           formatted(_("not a watched folder: %s"), folder->c_str()));
  }
  return paths;
}

// The store of the watched root `folder`, made if it has none yet.
Result<std::string> storeOf(const Container& container, const std::string& folder) {
  auto roots = chosen(container, folder);
  if (!roots.ok()) return roots.status();
  auto history = container.history(folder);
  if (!history.ok()) return history.status();
  return (*history)->repository();
}

}  // namespace

Result<std::vector<OfRoot>> list(const Container& container,
                                 const std::optional<std::string>& folder) {
  auto roots = chosen(container, folder);
  if (!roots.ok()) return roots.status();
  std::vector<OfRoot> listed;
  for (const std::string& root : *roots) {
    const std::string store = container.store(root);
    if (!std::filesystem::exists(store)) {
      listed.push_back({root, {}});
      continue;
    }
    auto mirrors = mirror::list(store);
    if (!mirrors.ok()) return mirrors.status();
    listed.push_back({root, std::move(*mirrors)});
  }
  return listed;
}

Status add(const Container& container, const std::string& folder, const std::string& url) {
  auto lock = container.lock();
  if (!lock.ok()) return lock.status();
  auto store = storeOf(container, folder);
  if (!store.ok()) return store.status();
  // A mirror inside the folder would be kept in its own history, again at each push.
  if (mirror::isLocal(url) && (mirror::localPath(url) + "/").rfind(folder + "/", 0) == 0) {
    return Status::failure(
        Status::Kind::refused,
        formatted(_("a mirror cannot be inside the folder it mirrors: %s"), url.c_str()));
  }
  return mirror::add(*store, url);
}

Status remove(const Container& container, const std::string& folder, const std::string& url) {
  auto lock = container.lock();
  if (!lock.ok()) return lock.status();
  auto store = storeOf(container, folder);
  if (!store.ok()) return store.status();
  return mirror::remove(*store, url);
}

Result<mirror::Pushed> pushOne(const Container& container, const std::string& folder,
                               const std::string& url,
                               const std::function<void(const mirror::Progress&)>& progress,
                               const std::atomic<bool>* stop) {
  // The history's mirrors' own lock, not the container's (history/Mirror.h).
  return mirror::push(container.store(folder), url, progress, stop);
}

Result<std::vector<PushedTo>> push(
    const Container& container, const std::optional<std::string>& folder,
    const std::function<void(const std::string& url, const mirror::Progress&)>& progress) {
  auto listed = list(container, folder);
  if (!listed.ok()) return listed.status();
  std::vector<PushedTo> pushed;
  for (const OfRoot& root : *listed) {
    for (const mirror::Mirror& each : root.mirrors) {
      pushed.push_back({root.root, each.url,
                        pushOne(container, root.root, each.url, [&](const mirror::Progress& step) {
                          if (progress) progress(each.url, step);
                        })});
    }
  }
  return pushed;
}

Result<std::vector<CheckedMirror>> check(const Container& container,
                                         const std::optional<std::string>& folder,
                                         const std::atomic<bool>* stop) {
  auto listed = list(container, folder);
  if (!listed.ok()) return listed.status();
  std::vector<CheckedMirror> checked;
  for (const OfRoot& root : *listed) {
    for (const mirror::Mirror& each : root.mirrors) {
      checked.push_back(
          {root.root, each.url, mirror::check(container.store(root.root), each.url, stop)});
    }
  }
  return checked;
}

Result<std::string> adopt(Keeper& keeper, const std::string& url, const std::string& folder,
                          const std::optional<std::string>& version,
                          const std::function<void(const mirror::Progress&)>& progress) {
  const Container& container = keeper.container();
  if (folder.empty() || folder.front() != '/' || folder == "/") {
    return Status::failure(Status::Kind::invalid,
                           formatted(_("not a folder to adopt into: %s"), folder.c_str()));
  }
  struct stat info {};
  std::error_code error;
  if (::lstat(folder.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode) || !std::filesystem::is_empty(folder, error)) {
      return Status::failure(
          Status::Kind::refused,
          formatted(_("not an empty folder: %s (adopt writes into a new one)"), folder.c_str()));
    }
  } else if (Status made = history::makeFolders(folder); !made.ok()) {
    return made;
  }
  std::string written;
  {
    auto lock = container.lock();
    if (!lock.ok()) return lock.status();
    auto roots = container.roots();
    if (!roots.ok()) return roots.status();
    if (Status may = Container::mayWatch(*roots, folder); !may.ok()) return may;
    if (std::any_of(roots->begin(), roots->end(),
                    [&](const Root& root) { return root.path == folder; })) {
      return Status::failure(Status::Kind::refused,
                             formatted(_("watched already: %s"), folder.c_str()));
    }
    const std::string store = container.store(folder);
    {
      auto made = container.history(folder);
      if (!made.ok()) return made.status();
    }
    auto tip = mirror::fetchAll(store, url, progress);
    if (!tip.ok() && tip.status().kind() == Status::Kind::refused) {
      // An adopt cut short after its fetch: taken up again where it was.
      auto mirrors = mirror::list(store);
      if (mirrors.ok()) {
        auto fetched = std::find_if(mirrors->begin(), mirrors->end(),
                                    [&](const mirror::Mirror& each) { return each.url == url; });
        if (fetched != mirrors->end() && fetched->unpushed == 0) tip = fetched->pushed;
      }
    }
    if (!tip.ok()) return tip.status();
    auto history = container.history(folder);
    if (!history.ok()) return history.status();
    written = version.value_or(*tip);
    // Written beside the folder and renamed over it (empty, so a rename may
    // replace it): a copy cut short leaves the folder empty, as it was.
    const std::filesystem::path place(folder);
    const std::string beside =
        (place.parent_path() / (".tarvine-adopting-" + place.filename().string())).string();
    std::filesystem::remove_all(beside, error);
    history::WrittenFiles files;
    if (Status copied = (*history)->saveCopy(written, "", beside, {}, &files); !copied.ok()) {
      return copied;
    }
    // So that the first snapshot below does not read and store every file again.
    mirror::rememberWritten(store, written, beside, files);
    if (::rename(beside.c_str(), folder.c_str()) != 0) {
      return Status::error(formatted(_("cannot move the files into %s"), folder.c_str()), errno);
    }
    if (Status synced = history::syncPath(place.parent_path().string()); !synced.ok()) {
      return synced;
    }
    if (Status placed = (*history)->recordPlace(); !placed.ok()) return placed;
  }
  auto watched = keeper.watch(folder, RootMode::automatic);
  if (!watched.ok()) return watched.status();
  if (watched->first && !watched->first->ok()) return watched->first->status();
  return written;
}

}  // namespace tarvine::roots::mirrors
