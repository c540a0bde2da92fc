#include "history/FolderAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {

int PosixFolderAccess::openRoot(const std::string& path) {
  return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int PosixFolderAccess::openFolder(int at, const std::string& name) {
  return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int PosixFolderAccess::openFile(int at, const std::string& name) {
  // O_NONBLOCK: a FIFO put in a file's place between the listing and the open
  // must not hang the snapshot; a regular file reads as ever.
  return ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

int PosixFolderAccess::createFile(int at, const std::string& name, mode_t mode) {
  return ::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int PosixFolderAccess::list(int folder, std::vector<std::string>& names) {
  FileDescriptor copy(::dup(folder));
  DIR* listing = copy.valid() ? ::fdopendir(copy.get()) : nullptr;
  if (listing == nullptr) return -1;  // the copy's close keeps errno: it succeeds
  (void)copy.release();               // closedir closes it
  ::rewinddir(listing);
  errno = 0;
  while (dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int error = errno;
  ::closedir(listing);
  errno = error;
  return error == 0 ? 0 : -1;
}

int PosixFolderAccess::statAt(int at, const std::string& name, struct stat& info) {
  return ::fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW);
}

int PosixFolderAccess::statOpen(int fd, struct stat& info) { return ::fstat(fd, &info); }

ssize_t PosixFolderAccess::read(int fd, void* buffer, size_t size) {
  return ::read(fd, buffer, size);
}

ssize_t PosixFolderAccess::write(int fd, const void* buffer, size_t size) {
  return ::write(fd, buffer, size);
}

ssize_t PosixFolderAccess::readLink(int at, const std::string& name, char* buffer, size_t size) {
  return ::readlinkat(at, name.c_str(), buffer, size);
}

int PosixFolderAccess::makeFolder(int at, const std::string& name) {
  return ::mkdirat(at, name.c_str(), 0777);
}

int PosixFolderAccess::makeLink(const std::string& target, int at, const std::string& name) {
  return ::symlinkat(target.c_str(), at, name.c_str());
}

int PosixFolderAccess::rename(int at, const std::string& from, const std::string& to) {
  return ::renameat(at, from.c_str(), at, to.c_str());
}

int PosixFolderAccess::remove(int at, const std::string& name) {
  return ::unlinkat(at, name.c_str(), 0);
}

int PosixFolderAccess::sync(int fd) { return ::fsync(fd); }

int PosixFolderAccess::chmodOpen(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int PosixFolderAccess::chownOpen(int fd, uid_t owner, gid_t group) {
  return ::fchown(fd, owner, group);
}

off_t PosixFolderAccess::seek(int fd, off_t offset, int whence) {
  return ::lseek(fd, offset, whence);
}

int PosixFolderAccess::truncate(int fd, off_t length) { return ::ftruncate(fd, length); }

PosixFolderAccess& PosixFolderAccess::shared() {
  static PosixFolderAccess access;
  return access;
}

}  // namespace tarvine::history
