#include "platform/linux/SyslogSocketLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvine {
namespace {

// LOG_USER | LOG_NOTICE, as the syslog protocol writes a priority.
constexpr int kPriority = (1 << 3) | 5;
constexpr const char* kIdent = "TarvineFinderSync";

}  // namespace

SyslogSocketLog::SyslogSocketLog(std::string socketPath) : socketPath_(std::move(socketPath)) {}

void SyslogSocketLog::write(std::string_view line) {
  // The local syslog protocol: the daemon stamps the time; the pid says which
  // file manager the line came from.
  std::string datagram = "<" + std::to_string(kPriority) + ">" + kIdent + "[" +
                         std::to_string(::getpid()) + "]: " + std::string(line);
  std::lock_guard lock(mutex_);
  // A daemon that restarted has a new socket: connect once more.
  if (!send(datagram)) {
    socket_ = FileDescriptor();
    (void)send(datagram);  // a log that is gone drops the line
  }
}

bool SyslogSocketLog::send(const std::string& datagram) {
  if (!socket_.valid()) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    FileDescriptor fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid() ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return false;
    }
    socket_ = std::move(fd);
  }
  return ::send(socket_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) >= 0 ||
         errno == EAGAIN;
}

}  // namespace tarvine
