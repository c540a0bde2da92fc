#include "requests/MainAppLauncher.h"

namespace tarvine {

FileURL MainAppLauncher::mainApplicationURL() {
  return mainBundle_.bundleURL()
      .deletingLastPathComponent()
      .deletingLastPathComponent()
      .deletingLastPathComponent();
}

void MainAppLauncher::wakeMainApplication() {
  workspace_.openApplication(mainApplicationURL(), /*activates=*/true);
}

}  // namespace tarvine
