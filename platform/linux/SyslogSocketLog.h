#pragma once

#include <mutex>
#include <string>

#include "platform/SystemLog.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine {

// The system log through a connection of its own to the syslog socket, for
// code that runs inside another program: openlog() would change the host's
// own ident and options, which syslog(3) keeps process-wide. Lines carry the
// ident "TarvineFinderSync" at the user facility's notice level, as SyslogLog's
// do. Writing never blocks: a full or missing log drops the line.
class SyslogSocketLog : public SystemLog {
 public:
  static constexpr const char* systemSocket = "/dev/log";

  explicit SyslogSocketLog(std::string socketPath = systemSocket);

  void write(std::string_view line) override;

 private:
  bool send(const std::string& datagram);

  std::string socketPath_;
  std::mutex mutex_;
  FileDescriptor socket_;
};

}  // namespace tarvine
