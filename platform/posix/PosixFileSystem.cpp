#include "platform/posix/PosixFileSystem.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <stdexcept>
#include <vector>

#include "foundation/TextSplit.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine {
namespace {

// Linux gives up after this many symbolic links in one path resolution.
constexpr int kMaxSymlinks = 40;
// What this writes (the manifest, the spool's requests) is the user's alone.
constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;

Status systemError(const std::string& what, const std::string& path, int error) {
  return Status::error(what + " " + path + ": " + std::strerror(error), error);
}

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> parts;
  for (std::string_view part : splitNonEmpty(path, '/')) parts.emplace_back(part);
  return parts;
}

std::string joinPath(const std::vector<std::string>& parts) {
  if (parts.empty()) return "/";
  std::string out;
  for (const auto& part : parts) {
    out += '/';
    out += part;
  }
  return out;
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string randomSuffix() {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::random_device device;
  std::uint64_t bits = (static_cast<std::uint64_t>(device()) << 32) ^ device();
  std::string out;
  for (int i = 0; i < 12; ++i) {
    out += kDigits[bits & 15];
    bits >>= 4;
  }
  return out;
}

}  // namespace

PosixFileSystem::PosixFileSystem(std::string dataHome) : dataHome_(std::move(dataHome)) {}

std::string PosixFileSystem::dataHomeFromEnvironment() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return xdg;
  // As the base-directory rules say, a relative value is ignored: an empty or
  // relative HOME would otherwise put the container at the root of the file system.
  const char* home = std::getenv("HOME");
  std::string base;
  if (home != nullptr && home[0] == '/') {
    base = home;
  } else {
    PosixFileSystem probe("");
    base = probe.userDatabaseHomeDirectory().value_or("/");
  }
  if (base.empty() || base.front() != '/') base = "/";
  if (base.back() != '/') base += '/';
  return base + ".local/share";
}

bool PosixFileSystem::isGroupIdentifier(std::string_view text) {
  // The identifier names one directory; anything that could climb out of the
  // data directory is no group at all.
  return !text.empty() && text != "." && text != ".." &&
         text.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::optional<std::string> PosixFileSystem::userDatabaseHomeDirectory() {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
  passwd record{};
  passwd* found = nullptr;
  for (;;) {
    int error = ::getpwuid_r(::getuid(), &record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) return std::nullopt;
    return std::string(found->pw_dir);
  }
}

FileURL PosixFileSystem::homeDirectoryForCurrentUser() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return FileURL::fromPath(home, true);
  return FileURL::fromPath(userDatabaseHomeDirectory().value_or("/"), true);
}

std::optional<FileURL> PosixFileSystem::containerURLForSecurityApplicationGroupIdentifier(
    std::string_view groupIdentifier) {
  if (!isGroupIdentifier(groupIdentifier)) return std::nullopt;
  FileURL url = FileURL::fromPath(dataHome_, true).appendingPathComponent(groupIdentifier, true);
  struct stat info {};
  if (::stat(url.path().c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return url;
}

std::optional<Timestamp> PosixFileSystem::contentModificationDate(const FileURL& url) {
  struct stat info {};
  if (::stat(url.path().c_str(), &info) != 0) return std::nullopt;
  return Timestamp::fromUnix(info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
}

Result<std::string> PosixFileSystem::readFile(const FileURL& url) {
  return readRegularFile(url.path(), kMaxFileBytes);
}

Result<std::string> PosixFileSystem::readRegularFile(const std::string& path,
                                                     std::size_t maxBytes) {
  // Non-blocking, so that a FIFO put in the file's place cannot hang the caller;
  // anything but a regular file is then refused before it is read.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return systemError("cannot open", path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return systemError("cannot examine", path, errno);
  if (!S_ISREG(info.st_mode)) return Status::error("not a regular file: " + path, EINVAL);
  // The size is only a claim (a sparse file costs nothing on disk), so a file
  // larger than the caller can take is refused before anything is allocated.
  if (static_cast<std::uintmax_t>(info.st_size) > maxBytes) {
    return Status::error("too large to read: " + path, EFBIG);
  }

  // Allocation can still fail under a memory limit; that makes the file
  // unreadable, never an exception the caller did not ask for.
  try {
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[64 * 1024];
    for (;;) {
      ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        return systemError("cannot read", path, errno);
      }
      if (n == 0) break;
      // A file that grows while it is read is held to the same limit.
      if (content.size() + static_cast<std::size_t>(n) > maxBytes) {
        return Status::error("too large to read: " + path, EFBIG);
      }
      content.append(chunk, static_cast<std::size_t>(n));
    }
    return content;
  } catch (const std::bad_alloc&) {
    return Status::error("not enough memory to read " + path, ENOMEM);
  } catch (const std::length_error&) {
    return Status::error("not enough memory to read " + path, ENOMEM);
  }
}

Status PosixFileSystem::createDirectory(const FileURL& url) {
  std::string current;
  for (const auto& part : splitPath(url.path())) {
    current += '/';
    current += part;
    if (::mkdir(current.c_str(), kPrivateFolderMode) == 0) continue;
    int error = errno;
    struct stat info {};
    if (::stat(current.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    return systemError("cannot create directory", current, error == EEXIST ? ENOTDIR : error);
  }
  return Status();
}

Status PosixFileSystem::writeFileAtomically(const FileURL& url, std::string_view content) {
  const std::string path = url.path();
  const std::string directory = url.deletingLastPathComponent().path();
  const std::string name = url.lastPathComponent();

  // A hidden name that does not end in ".json", so that a reader of the
  // directory never takes the unfinished file for a finished one. O_EXCL, and
  // the user's alone whatever the umask.
  std::string temporary;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    temporary = directory + (directory.back() == '/' ? "" : "/") + "." + name + "." +
                randomSuffix() + ".tmp";
    raw = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
    if (raw < 0 && errno != EEXIST) break;
  }
  if (raw < 0) return systemError("cannot create a temporary file in", directory, errno);
  FileDescriptor fd(raw);

  auto fail = [&](const std::string& what) {
    int error = errno;
    ::unlink(temporary.c_str());
    return systemError(what, temporary, error);
  };
  if (!writeAll(fd.get(), content)) return fail("cannot write");
  if (::fsync(fd.get()) != 0) return fail("cannot flush");
  if (fd.close() != 0) return fail("cannot close");
  if (::rename(temporary.c_str(), path.c_str()) != 0) return fail("cannot rename");

  // The rename should reach the disk too. Once it is done the whole content is
  // in place under the final name, so a directory that cannot be flushed (no
  // read permission, a file system without directory sync) is no failure:
  // reporting one would tell the caller that nothing was written.
  FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) (void)::fsync(dir.get());
  return Status();
}

namespace {

// For a path that exists, the kernel resolves it in one go: open it as a bare
// location and ask /proc where the descriptor points. Absent when that cannot
// tell (the path does not exist, a loop, no /proc), and the walk below decides.
std::optional<std::string> resolvedByKernel(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd.get());
  std::vector<char> target(path.size() + 256);
  for (;;) {
    ssize_t length = ::readlink(link, target.data(), target.size());
    if (length <= 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < target.size()) {
      std::string resolved(target.data(), static_cast<std::size_t>(length));
      if (resolved.front() != '/') return std::nullopt;  // not a path ("anon_inode:…")
      return resolved;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace

FileURL PosixFileSystem::resolvingSymlinksInPath(const FileURL& url) {
  if (auto resolved = resolvedByKernel(url.path())) {
    return FileURL::fromPath(*resolved, url.hasDirectoryPath());
  }
  std::deque<std::string> pending;
  for (auto& part : splitPath(url.path())) pending.push_back(std::move(part));
  std::vector<std::string> resolved;
  int linksFollowed = 0;
  bool beyondExisting = false;
  std::vector<char> target(4096);

  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    resolved.push_back(std::move(part));
    if (beyondExisting) continue;

    const std::string candidate = joinPath(resolved);
    struct stat info {};
    if (::lstat(candidate.c_str(), &info) != 0) {
      // What does not exist is kept as written.
      beyondExisting = true;
      continue;
    }
    if (!S_ISLNK(info.st_mode)) continue;
    if (++linksFollowed > kMaxSymlinks) return url;  // a loop: leave it unresolved

    ssize_t length;
    for (;;) {
      length = ::readlink(candidate.c_str(), target.data(), target.size());
      if (length < 0 || static_cast<std::size_t>(length) < target.size()) break;
      target.resize(target.size() * 2);
    }
    if (length <= 0) return url;
    std::string_view link(target.data(), static_cast<std::size_t>(length));
    resolved.pop_back();
    if (link.front() == '/') resolved.clear();
    auto linkParts = splitPath(link);
    pending.insert(pending.begin(), linkParts.begin(), linkParts.end());
  }
  return FileURL::fromPath(joinPath(resolved), url.hasDirectoryPath());
}

}  // namespace tarvine
