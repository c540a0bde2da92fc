#pragma once

#include "platform/SystemLog.h"

namespace tarvine::apple {

// The system log through NSLog, the line as an argument of a constant format:
// never as the format itself.
class AppleSystemLog : public SystemLog {
 public:
  void write(std::string_view line) override;
};

}  // namespace tarvine::apple
