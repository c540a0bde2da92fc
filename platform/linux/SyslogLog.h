#pragma once

#include "platform/SystemLog.h"

namespace tarvine {

// The system log through syslog(3): ident "TarvineFinderSync", facility
// LOG_USER, notice level; optionally each line is copied to standard error.
class SyslogLog : public SystemLog {
 public:
  explicit SyslogLog(bool copyToStandardError = false);
  ~SyslogLog() override;
  SyslogLog(const SyslogLog&) = delete;
  SyslogLog& operator=(const SyslogLog&) = delete;

  void write(std::string_view line) override;
};

}  // namespace tarvine
