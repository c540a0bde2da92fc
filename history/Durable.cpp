#include "history/Durable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// `what` is a translated pattern with one %s, for the path.
Status failed(const char* what, const std::string& path) {
  const int error = errno;
  // TRANSLATORS: a failure, then the system's words for its cause.
  return Status::error(
      formatted(_("%s: %s"), formatted(what, path.c_str()).c_str(), std::strerror(error)), error);
}

std::string folderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

Status writeAll(int fd, const std::string& text, const std::string& path) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return failed(_("cannot write %s"), path);
    done += static_cast<std::size_t>(wrote);
  }
  return Status();
}

}  // namespace

Status syncPath(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return failed(_("cannot open %s"), path);
  if (::fsync(fd.get()) != 0) return failed(_("cannot sync %s"), path);
  return Status();
}

Status syncFileSystemOf(const std::string& path) {
#ifdef __linux__
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return failed(_("cannot open %s"), path);
  if (::syncfs(fd.get()) != 0) return failed(_("cannot sync the file system of %s"), path);
  return Status();
#else
  errno = ENOTSUP;
  return failed(_("cannot sync the file system of %s"), path);
#endif
}

Status makeFolders(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return Status();
    errno = ENOTDIR;
    return failed(_("cannot make the folder %s"), path);
  }
  const std::string parent = folderOf(path);
  if (Status made = makeFolders(parent); !made.ok()) return made;
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    return failed(_("cannot make the folder %s"), path);
  }
  return syncPath(parent);
}

Status replaceFile(const std::string& path, const std::string& text) {
  const std::string lock = path + ".lock";
  FileDescriptor fd(::open(lock.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid()) return failed(_("cannot lock %s"), path);
  Status wrote = writeAll(fd.get(), text, lock);
  if (wrote.ok() && ::fsync(fd.get()) != 0) wrote = failed(_("cannot sync %s"), lock);
  if (wrote.ok() && fd.close() != 0) wrote = failed(_("cannot write %s"), lock);
  if (wrote.ok() && ::rename(lock.c_str(), path.c_str()) != 0) {
    wrote = failed(_("cannot rename %s"), lock);
  }
  if (!wrote.ok()) {
    ::unlink(lock.c_str());
    return wrote;
  }
  return syncPath(folderOf(path));
}

Status appendLine(const std::string& path, const std::string& line) {
  const bool existed = ::access(path.c_str(), F_OK) == 0;
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) return failed(_("cannot open %s"), path);
  if (Status wrote = writeAll(fd.get(), line, path); !wrote.ok()) return wrote;
  if (::fsync(fd.get()) != 0) return failed(_("cannot sync %s"), path);
  if (fd.close() != 0) return failed(_("cannot write %s"), path);
  return existed ? Status() : syncPath(folderOf(path));
}

}  // namespace tarvine::history
