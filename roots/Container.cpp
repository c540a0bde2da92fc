#include "roots/Container.h"

#include <fcntl.h>
#include <glib/gi18n.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <utility>

#include "foundation/TextSplit.h"
#include "history/Durable.h"
#include "history/Privacy.h"
#include "platform/posix/PosixFileSystem.h"
#include "requests/RequestSubmitter.h"
#include "roots/Language.h"
#include "shared/ManifestLoader.h"
#include "shared/RootIndex.h"

namespace tarvine::roots {
namespace {

using language::formatted;

constexpr const char* kLockName = ".tarvine-history.lock";
constexpr const char* kHistoryFolder = "/history";
constexpr int kManifestVersion = 1;
constexpr std::string_view kStoreSuffix = ".git";

FileURL manifestURL(const std::string& container) {
  return FileURL::fromPath(container, true)
      .appendingPathComponent(ManifestLoader::manifestFileName, false);
}

// A stable folder name for a root's history: the hash of its path, as the
// path may hold anything a file name cannot.
std::string historyName(const std::string& root) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : root) hash = (hash ^ c) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.git", static_cast<unsigned long long>(hash));
  return name;
}

std::size_t depth(const std::string& path) { return splitNonEmpty(path, '/').size(); }

}  // namespace

Container Container::forGroup(const std::string& groupIdentifier) {
  return Container(PosixFileSystem::dataHomeFromEnvironment() + "/" + groupIdentifier);
}

Result<Container::Lock> Container::lock() const {
  if (Status made = history::Privacy::makeFolder(path_); !made.ok()) return made;
  const std::string file = path_ + "/" + kLockName;
  FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) {
    return Status::error(formatted(_("cannot open %s: %s"), file.c_str(), std::strerror(errno)),
                         errno);
  }
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      return Status::error(formatted(_("cannot lock %s: %s"), file.c_str(), std::strerror(errno)),
                           errno);
    }
  }
  // The container is its owner's alone, as made by an earlier version too:
  // the manifest, the lock, the folders of the histories and of the spool,
  // and the requests in it (each history tightens itself when opened).
  history::Privacy::tightenFolder(path_);
  history::Privacy::tightenFolder(path_ + kHistoryFolder);
  history::Privacy::tightenFolder(path_ + "/" + std::string(RequestSubmitter::spoolDirectoryName));
  return Lock(std::move(fd));
}

Result<std::vector<Root>> Container::roots() const {
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  Result<std::string> text = files.readFile(manifestURL(path_));
  if (!text.ok()) {
    if (text.status().errorNumber() == ENOENT) return std::vector<Root>{};
    return text.status();
  }
  Result<WatchedRootsManifest> manifest = WatchedRootsManifest::decode(*text);
  if (!manifest.ok()) {
    return Status::failure(Status::Kind::damaged, formatted(_("unreadable manifest: %s"),
                                                            manifest.status().message().c_str()));
  }
  return manifest->roots;
}

Status Container::publish(std::vector<Root> roots) const {
  std::stable_sort(roots.begin(), roots.end(),
                   [](const Root& a, const Root& b) { return depth(a.path) > depth(b.path); });
  WatchedRootsManifest manifest{kManifestVersion, Timestamp::fromUnix(std::time(nullptr)),
                                std::move(roots)};
  Result<std::string> text = manifest.encode();
  if (!text.ok()) return text.status();
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  if (Status made = files.createDirectory(FileURL::fromPath(path_, true)); !made.ok()) return made;
  return files.writeFileAtomically(manifestURL(path_), *text);
}

Result<std::unique_ptr<history::History>> Container::history(
    const std::string& root, history::History::Opening opening) const {
  const std::string folder = path_ + kHistoryFolder;
  if (Status made = history::Privacy::makeFolder(folder); !made.ok()) return made;
  std::error_code failed;
  if (opening != history::History::Opening::checking) {
    std::filesystem::create_directories(folder, failed);
  }
  if (failed)
    return Status::error(
        formatted(_("cannot make %s: %s"), folder.c_str(), failed.message().c_str()));
  auto opened = history::History::open(folder + "/" + historyName(root), root,
                                       history::PosixFolderAccess::shared(), opening);
  // A root that holds the container (the whole home) must not keep its own history.
  if (opened.ok()) (*opened)->exclude(std::filesystem::weakly_canonical(path_, failed).string());
  return opened;
}

std::string Container::store(const std::string& root) const {
  return path_ + kHistoryFolder + "/" + historyName(root);
}

Result<std::vector<Container::Stored>> Container::stores() const {
  const std::string folder = path_ + kHistoryFolder;
  std::error_code failed;
  std::vector<Stored> stores;
  for (auto it = std::filesystem::directory_iterator(folder, failed);
       !failed && it != std::filesystem::directory_iterator(); it.increment(failed)) {
    const std::string name = it->path().filename().string();
    // Hidden names are what removals cut short left aside.
    if (name.empty() || name[0] == '.' || !name.ends_with(kStoreSuffix)) continue;
    if (!it->is_directory(failed) || it->is_symlink(failed)) continue;
    const std::string store = it->path().string();
    stores.push_back({store, history::History::recordedRoot(store).value_or("")});
  }
  if (failed && failed != std::errc::no_such_file_or_directory) {
    return Status::error(
        formatted(_("cannot list %s: %s"), folder.c_str(), failed.message().c_str()),
        failed.value());
  }
  std::sort(stores.begin(), stores.end(),
            [](const Stored& a, const Stored& b) { return a.root < b.root; });
  return stores;
}

Status Container::removeStore(const std::string& store) const {
  const std::string folder = path_ + kHistoryFolder;
  const std::string name = std::filesystem::path(store).filename().string();
  const std::string aside = folder + "/" + std::string(removingPrefix) + name;
  std::error_code failed;
  // One left aside by an earlier removal of the same name goes first.
  std::filesystem::remove_all(aside, failed);
  if (::rename(store.c_str(), aside.c_str()) != 0) {
    const int error = errno;
    return Status::error(
        formatted(_("cannot set %s aside: %s"), store.c_str(), std::strerror(error)), error);
  }
  // The rename reaches the disk before anything of the store is removed: a
  // power cut can then leave only a part of it aside, never in its place.
  if (Status synced = history::syncPath(folder); !synced.ok()) return synced;
  std::filesystem::remove_all(aside, failed);
  if (failed)
    return Status::error(
        formatted(_("cannot remove %s: %s"), aside.c_str(), failed.message().c_str()));
  return Status();
}

void Container::removeLeftovers() const {
  std::error_code failed;
  for (auto it = std::filesystem::directory_iterator(path_ + kHistoryFolder, failed);
       !failed && it != std::filesystem::directory_iterator(); it.increment(failed)) {
    if (it->path().filename().string().starts_with(removingPrefix)) {
      std::error_code ignored;  // tried again next time
      std::filesystem::remove_all(it->path(), ignored);
    }
  }
}

Status Container::moveStore(const std::string& from, const std::string& to) const {
  const std::string source = store(from), target = store(to);
  std::error_code failed;
  // Without a history at `from`, there is nothing to move and nothing to mix:
  // either a move cut short after its rename (taken up where it stopped), or
  // a root with no history yet.
  if (!std::filesystem::exists(source, failed)) return Status();
  if (std::filesystem::exists(target, failed)) {
    return Status::failure(Status::Kind::refused,
                           formatted(_("%s has a history of its own already (tarvine roots "
                                       "--orphans lists it); forget it first"),
                                     to.c_str()));
  }
  if (::rename(source.c_str(), target.c_str()) != 0) {
    const int error = errno;
    return Status::error(formatted(_("cannot move %s: %s"), source.c_str(), std::strerror(error)),
                         error);
  }
  return history::syncPath(path_ + kHistoryFolder);
}

std::uint64_t Container::bytesOnDisk(const std::string& folder) {
  std::uint64_t bytes = 0;
  std::set<std::pair<dev_t, ino_t>> linked;  // files with more than one name, counted once
  std::error_code failed;
  auto count = [&](const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return;
    if (info.st_nlink > 1 && !S_ISDIR(info.st_mode) &&
        !linked.insert({info.st_dev, info.st_ino}).second) {
      return;
    }
    bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;  // st_blocks counts 512-byte units
  };
  count(folder);
  for (auto it = std::filesystem::recursive_directory_iterator(folder, failed);
       !failed && it != std::filesystem::recursive_directory_iterator(); it.increment(failed)) {
    count(it->path().string());
  }
  return bytes;
}

std::optional<Container::Place> Container::place(const std::vector<Root>& roots,
                                                 const std::string& path) {
  const WatchedRootsManifest manifest{kManifestVersion, Timestamp(), roots};
  const auto found = RootIndex(manifest).rootContaining(manifest, path);
  if (!found) return std::nullopt;
  Place place{roots[found->index], ""};
  if (found->isRoot) return place;
  // The root's text may differ from the path's by canonical equivalence, never
  // by its slashes: what lies below it is what follows its components.
  const auto parts = splitNonEmpty(path, '/');
  for (std::size_t i = depth(place.root.path); i < parts.size(); ++i) {
    place.relative += (place.relative.empty() ? "" : "/") + std::string(parts[i]);
  }
  return place;
}

Status Container::mayWatch(const std::vector<Root>& roots, const std::string& folder) {
  if (auto outer = place(roots, folder); outer && !outer->relative.empty()) {
    return Status::failure(Status::Kind::refused,
                           formatted(_("%s is inside %s, which is watched already"), folder.c_str(),
                                     outer->root.path.c_str()));
  }
  for (const Root& root : roots) {
    if (auto inner = place({Root{folder, false, std::nullopt}}, root.path);
        inner && !inner->relative.empty()) {
      return Status::failure(Status::Kind::refused,
                             formatted(_("%s holds %s, which is watched already; unwatch it first"),
                                       folder.c_str(), root.path.c_str()));
    }
  }
  return Status();
}

}  // namespace tarvine::roots
