#include "platform/linux/SyslogLog.h"

#include <syslog.h>

#include <string>

namespace tarvine {

SyslogLog::SyslogLog(bool copyToStandardError) {
  ::openlog("TarvineFinderSync", LOG_NDELAY | (copyToStandardError ? LOG_PERROR : 0), LOG_USER);
}

SyslogLog::~SyslogLog() { ::closelog(); }

void SyslogLog::write(std::string_view line) {
  // The line is data, never a format.
  ::syslog(LOG_NOTICE, "%s", std::string(line).c_str());
}

}  // namespace tarvine
