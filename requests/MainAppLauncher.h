#pragma once

#include "foundation/FileURL.h"
#include "platform/Bundle.h"
#include "platform/Workspace.h"

namespace tarvine {

// Launches the main application, or brings the running one to the front, so
// that it picks up a request just written. The application is found from where
// the extension sits inside it: Main.app/Contents/PlugIns/Extension.appex.
class MainAppLauncher {
 public:
  MainAppLauncher(Bundle& mainBundle, Workspace& workspace)
      : mainBundle_(mainBundle), workspace_(workspace) {}

  // The extension bundle's URL with its last three path components removed.
  FileURL mainApplicationURL();
  // Asks for the launch and returns at once; the outcome is never observed.
  void wakeMainApplication();

 private:
  Bundle& mainBundle_;
  Workspace& workspace_;
};

}  // namespace tarvine
