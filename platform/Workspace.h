#pragma once

#include <string_view>

#include "foundation/FileURL.h"

namespace tarvine {

// The applications of the user's session.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // Whether any application with this bundle identifier runs.
  virtual bool isApplicationRunning(std::string_view bundleIdentifier) = 0;
  // Asks for the application at `url` to be launched, or the running one to be
  // brought to the front when `activates`. Returns at once; the outcome is not reported.
  virtual void openApplication(const FileURL& url, bool activates) = 0;
};

}  // namespace tarvine
