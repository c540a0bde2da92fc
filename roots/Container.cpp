#include "roots/Container.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "foundation/TextSplit.h"
#include "history/Privacy.h"
#include "platform/posix/PosixFileSystem.h"
#include "requests/RequestSubmitter.h"
#include "shared/ManifestLoader.h"
#include "shared/RootIndex.h"

namespace tarvine::roots {
namespace {

constexpr const char* kLockName = ".tarvine-history.lock";
constexpr const char* kHistoryFolder = "/history";
constexpr int kManifestVersion = 1;

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
    return Status::error("cannot open " + file + ": " + std::strerror(errno), errno);
  }
  while (::flock(fd.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      return Status::error("cannot lock " + file + ": " + std::strerror(errno), errno);
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
    return Status::failure(Status::Kind::damaged,
                           "unreadable manifest: " + manifest.status().message());
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
  if (failed) return Status::error("cannot make " + folder + ": " + failed.message());
  auto opened = history::History::open(folder + "/" + historyName(root), root,
                                       history::PosixFolderAccess::shared(), opening);
  // A root that holds the container (the whole home) must not keep its own history.
  if (opened.ok()) (*opened)->exclude(std::filesystem::weakly_canonical(path_, failed).string());
  return opened;
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
    return Status::failure(Status::Kind::refused, folder + " is inside " + outer->root.path +
                                                      ", which is watched already");
  }
  for (const Root& root : roots) {
    if (auto inner = place({Root{folder, false, std::nullopt}}, root.path);
        inner && !inner->relative.empty()) {
      return Status::failure(
          Status::Kind::refused,
          folder + " holds " + root.path + ", which is watched already; unwatch it first");
    }
  }
  return Status();
}

}  // namespace tarvine::roots
