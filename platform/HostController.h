#pragma once

#include <optional>
#include <vector>

#include "foundation/FileURL.h"

namespace tarvine {

// The file manager's controller for this extension: where it asks for menus,
// and which items it currently shows as selected or targeted.
class HostController {
 public:
  virtual ~HostController() = default;

  // From then on the host asks for menus for items in and below these directories.
  virtual void setDirectoryURLs(const std::vector<FileURL>& directories) = 0;
  // The selected items in the host's order; absent or empty when there are none.
  virtual std::optional<std::vector<FileURL>> selectedItemURLs() = 0;
  virtual std::optional<FileURL> targetedURL() = 0;
};

}  // namespace tarvine
