#pragma once

#include <unistd.h>

#include <utility>

namespace tarvine {

// Owns one open file descriptor and closes it when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up to a new owner (fdopendir, a FILE), which closes it.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes now and reports the result, as a failed close can mean lost data.
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

}  // namespace tarvine
