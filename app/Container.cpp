#include "app/Container.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <utility>

#include "platform/posix/PosixFileSystem.h"
#include "shared/ManifestLoader.h"

namespace tarvine::app {
namespace {

constexpr const char* kLockName = ".tarvine-history.lock";

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

}  // namespace

Container Container::forGroup(const std::string& groupIdentifier) {
  return Container(PosixFileSystem::dataHomeFromEnvironment() + "/" + groupIdentifier);
}

Container::Lock::Lock(Lock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Container::Lock::~Lock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

Result<Container::Lock> Container::lock() const {
  std::error_code ignored;
  std::filesystem::create_directories(path_, ignored);
  const std::string file = path_ + "/" + kLockName;
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Status::error("cannot open " + file + ": " + std::strerror(errno), errno);
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      return Status::error("cannot lock " + file + ": " + std::strerror(error), error);
    }
  }
  return Lock(fd);
}

Result<std::vector<Root>> Container::roots() const {
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  Result<std::string> text = files.readFile(manifestURL(path_));
  if (!text.ok()) {
    if (text.status().errorNumber() == ENOENT) return std::vector<Root>{};
    return text.status();
  }
  Result<WatchedRootsManifest> manifest = WatchedRootsManifest::decode(*text);
  if (!manifest.ok()) return Status::error("unreadable manifest: " + manifest.status().message());
  return manifest->roots;
}

Status Container::publish(const std::vector<Root>& roots) const {
  WatchedRootsManifest manifest{1, Timestamp::fromUnix(std::time(nullptr)), roots};
  Result<std::string> text = manifest.encode();
  if (!text.ok()) return text.status();
  PosixFileSystem files(PosixFileSystem::dataHomeFromEnvironment());
  if (Status made = files.createDirectory(FileURL::fromPath(path_, true)); !made.ok()) return made;
  return files.writeFileAtomically(manifestURL(path_), *text);
}

Result<std::unique_ptr<history::History>> Container::history(const std::string& root) const {
  const std::string folder = path_ + "/history";
  std::error_code failed;
  std::filesystem::create_directories(folder, failed);
  if (failed) return Status::error("cannot make " + folder + ": " + failed.message());
  auto opened = history::History::open(folder + "/" + historyName(root), root);
  // A root that holds the container (the whole home) must not keep its own history.
  if (opened.ok()) (*opened)->exclude(std::filesystem::weakly_canonical(path_, failed).string());
  return opened;
}

std::optional<Container::Place> Container::place(const std::vector<Root>& roots,
                                                 const std::string& path) {
  std::optional<Place> best;
  for (const Root& root : roots) {
    std::string relative;
    if (path == root.path) {
      relative = "";
    } else if (path.size() > root.path.size() &&
               path.compare(0, root.path.size(), root.path) == 0 &&
               (path[root.path.size()] == '/' || root.path == "/")) {
      relative = path.substr(root.path == "/" ? 1 : root.path.size() + 1);
    } else {
      continue;
    }
    // The innermost root holds it.
    if (!best || root.path.size() > best->root.path.size()) best = Place{root, relative};
  }
  return best;
}

}  // namespace tarvine::app
