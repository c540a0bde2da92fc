#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvine::history {

// How the history engine reaches a watched folder, and its only way there:
// calls relative to an open folder that never follow a link, so that nothing
// placed in the folder can lead a snapshot or a restore out of it. Each
// answers as the system call it stands for (-1 and errno on failure).
// PosixFolderAccess is the real one; tests hand in one that injects faults.
class FolderAccess {
 public:
  virtual ~FolderAccess() = default;

  virtual int openRoot(const std::string& path) = 0;
  // The folder `name` in `at`, never through a link.
  virtual int openFolder(int at, const std::string& name) = 0;
  // The file `name` in `at`, for reading, never through a link.
  virtual int openFile(int at, const std::string& name) = 0;
  // A new file `name` in `at`, for writing; fails when anything is there.
  virtual int createFile(int at, const std::string& name, mode_t mode) = 0;
  // The names in the open folder `folder`, without "." and "..".
  virtual int list(int folder, std::vector<std::string>& names) = 0;
  virtual int statAt(int at, const std::string& name, struct stat& info) = 0;
  virtual int statOpen(int fd, struct stat& info) = 0;
  virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
  virtual ssize_t write(int fd, const void* buffer, size_t size) = 0;
  virtual ssize_t readLink(int at, const std::string& name, char* buffer, size_t size) = 0;
  virtual int makeFolder(int at, const std::string& name) = 0;
  virtual int makeLink(const std::string& target, int at, const std::string& name) = 0;
  // Renames within one folder: `from` over `to`, replacing it whole.
  virtual int rename(int at, const std::string& from, const std::string& to) = 0;
  virtual int remove(int at, const std::string& name) = 0;
  virtual int sync(int fd) = 0;
  // What a restore needs to give a new file the permission bits and owner of
  // the one it replaces, and to leave runs of zeros as holes.
  virtual int chmodOpen(int fd, mode_t mode) = 0;
  virtual int chownOpen(int fd, uid_t owner, gid_t group) = 0;
  virtual off_t seek(int fd, off_t offset, int whence) = 0;
  virtual int truncate(int fd, off_t length) = 0;
};

class PosixFolderAccess : public FolderAccess {
 public:
  int openRoot(const std::string& path) override;
  int openFolder(int at, const std::string& name) override;
  int openFile(int at, const std::string& name) override;
  int createFile(int at, const std::string& name, mode_t mode) override;
  int list(int folder, std::vector<std::string>& names) override;
  int statAt(int at, const std::string& name, struct stat& info) override;
  int statOpen(int fd, struct stat& info) override;
  ssize_t read(int fd, void* buffer, size_t size) override;
  ssize_t write(int fd, const void* buffer, size_t size) override;
  ssize_t readLink(int at, const std::string& name, char* buffer, size_t size) override;
  int makeFolder(int at, const std::string& name) override;
  int makeLink(const std::string& target, int at, const std::string& name) override;
  int rename(int at, const std::string& from, const std::string& to) override;
  int remove(int at, const std::string& name) override;
  int sync(int fd) override;
  int chmodOpen(int fd, mode_t mode) override;
  int chownOpen(int fd, uid_t owner, gid_t group) override;
  off_t seek(int fd, off_t offset, int whence) override;
  int truncate(int fd, off_t length) override;

  // The one every history uses unless told otherwise.
  static PosixFolderAccess& shared();
};

}  // namespace tarvine::history
