#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "extension/Menu.h"
#include "extension/Selector.h"
#include "foundation/FileURL.h"
#include "platform/Services.h"
#include "requests/RequestSubmitter.h"
#include "shared/Identifiers.h"
#include "shared/ManifestLoader.h"
#include "shared/RootMatch.h"

namespace tarvine {

// The object the file manager creates and drives. It registers the user's home
// directory as the scope it serves, builds the "History" context menu from the
// main application's manifest, and turns each chosen command into a request.
// Calls on one object must not overlap.
class FinderSync {
 public:
  FinderSync(const Services& services, Identifiers& identifiers);
  FinderSync(const FinderSync&) = delete;
  FinderSync& operator=(const FinderSync&) = delete;

  std::string toolbarItemName() const;
  std::string toolbarItemToolTip() const;

  // Kinds 0 (selected items) and 1 (the shown folder) may get the history item;
  // every other kind, and every failure, gets an empty menu.
  Menu menuForMenuKind(MenuKind menuKind);

  // The command handlers; the sender is ignored.
  void showHistory(const MenuItem* sender = nullptr);
  void enableHistory(const MenuItem* sender = nullptr);
  void disableHistory(const MenuItem* sender = nullptr);
  void snapshotNow(const MenuItem* sender = nullptr);
  void restorePrevious(const MenuItem* sender = nullptr);
  // Delivers a selector the way the host does: to the handler of that name.
  void perform(Selector selector, const MenuItem* sender = nullptr);

  // The one item a menu or command is about: the first selected item, else the
  // host's targeted URL.
  std::optional<FileURL> resolveTargetURL();

  // The current watched-roots manifest, or null; see ManifestLoader.
  std::shared_ptr<const WatchedRootsManifest> loadManifest();

  // The two cache fields, read only by tests.
  std::shared_ptr<const WatchedRootsManifest> cachedManifest() const {
    return manifestLoader_.cachedManifest();
  }
  const std::optional<Timestamp>& cachedManifestDate() const {
    return manifestLoader_.cachedManifestDate();
  }

 private:
  FileURL homeDirectoryURL() const;
  Menu buildMenu(MenuKind menuKind);
  MenuItem makeHistoryItem(const RootMatch& match);
  Menu makeHistorySubmenu(const RootMatch& match);
  MenuItem makeCommandItem(std::string_view titleKey, Selector selector, bool enabled);
  std::optional<MenuImage> brandGlyphImage();
  std::string localizedTitle(std::string_view key);

  Services services_;
  Identifiers& identifiers_;
  ManifestLoader manifestLoader_;
  RequestSubmitter submitter_;
};

}  // namespace tarvine
