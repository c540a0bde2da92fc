#pragma once

#include "platform/Workspace.h"

namespace tarvine::apple {

// NSRunningApplication and NSWorkspace.
class AppleWorkspace : public Workspace {
 public:
  bool isApplicationRunning(std::string_view bundleIdentifier) override;
  // Opens the application with activation and no completion handler: the
  // outcome is never observed, as the extension never waits for it.
  void openApplication(const FileURL& url, bool activates) override;
};

}  // namespace tarvine::apple
