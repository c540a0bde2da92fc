#include "extension/FinderSync.h"

namespace tarvine {
namespace {

constexpr const char* kToolbarText = "Tarvine";

}  // namespace

FinderSync::FinderSync(const Services& services, Identifiers& identifiers)
    : services_(services),
      identifiers_(identifiers),
      manifestLoader_(identifiers, services.fileSystem) {
  services_.host.setDirectoryURLs({homeDirectoryURL()});
}

// The user's real home from the user database, even when the sandbox gives the
// process another home; the file manager's answer only when the database has none.
FileURL FinderSync::homeDirectoryURL() const {
  if (auto home = services_.fileSystem.userDatabaseHomeDirectory()) {
    return FileURL::fromPath(*home, true);
  }
  return services_.fileSystem.homeDirectoryForCurrentUser();
}

std::string FinderSync::toolbarItemName() const { return kToolbarText; }

std::string FinderSync::toolbarItemToolTip() const { return kToolbarText; }

std::shared_ptr<const WatchedRootsManifest> FinderSync::loadManifest() {
  return manifestLoader_.loadManifest();
}

}  // namespace tarvine
