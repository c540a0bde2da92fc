#pragma once

#include "platform/HostController.h"

namespace tarvine::apple {

// The Finder's controller for this extension, asked for afresh on each use.
class FinderSyncHost : public HostController {
 public:
  void setDirectoryURLs(const std::vector<FileURL>& directories) override;
  std::optional<std::vector<FileURL>> selectedItemURLs() override;
  std::optional<FileURL> targetedURL() override;
};

}  // namespace tarvine::apple
