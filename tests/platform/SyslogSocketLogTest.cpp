#include "platform/linux/SyslogSocketLog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/posix/FileDescriptor.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

// A syslog daemon's socket: what it receives, one datagram at a time.
class FakeDaemon {
 public:
  explicit FakeDaemon(const std::string& path)
      : socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)), path_(path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ::unlink(path.c_str());
    EXPECT_EQ(::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  std::string receive() {
    char buffer[512];
    ssize_t n = ::recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    return n < 0 ? "" : std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  FileDescriptor socket_;
  std::string path_;
};

// The host's own syslog settings are never touched, so the lines go over a
// connection of the log's own, with the extension's ident, and survive a
// restart of the daemon; without a daemon a line is dropped quietly.
TEST(SyslogSocketLogTest, LinesCarryTheIdentAndSurviveARestartedDaemon) {
  testing::TempDir tmp;
  const std::string path = tmp.file("log");
  const std::string prefix = "<13>TarvineFinderSync[" + std::to_string(::getpid()) + "]: ";
  SyslogSocketLog log(path);
  log.write("nobody listens yet");
  {
    FakeDaemon daemon(path);
    log.write("first line");
    EXPECT_EQ(daemon.receive(), prefix + "first line");
  }
  FakeDaemon restarted(path);
  log.write("after a restart");
  EXPECT_EQ(restarted.receive(), prefix + "after a restart");
}

}  // namespace
}  // namespace tarvine
