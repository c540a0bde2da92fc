#include "extension/FinderSync.h"

#include <cmath>
#include <exception>

namespace tarvine {
namespace {

constexpr const char* kToolbarText = "Tarvine";
constexpr std::string_view kBrandGlyph = "BrandGlyph";
constexpr double kGlyphHeight = 16;

using Kind = HistoryRequest::Kind;

}  // namespace

FinderSync::FinderSync(const Services& services, Identifiers& identifiers)
    : services_(services),
      identifiers_(identifiers),
      manifestLoader_(identifiers, services.fileSystem),
      submitter_(services, identifiers, [this] { return resolveTargetURL(); }) {
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

Menu FinderSync::menuForMenuKind(MenuKind menuKind) {
  // Failures are absorbed here: running out of memory on the way gives the
  // empty menu, never an exception into the file manager.
  try {
    return buildMenu(menuKind);
  } catch (const std::exception&) {
    return Menu("");
  }
}

Menu FinderSync::buildMenu(MenuKind menuKind) {
  Menu menu("");
  if (menuKind != MenuKind::contextualMenuForItems &&
      menuKind != MenuKind::contextualMenuForContainer) {
    return menu;  // sidebar, toolbar item and beyond
  }
  if (!services_.workspace.isApplicationRunning(identifiers_.mainAppBundleIdentifier())) {
    return menu;
  }
  auto loaded = manifestLoader_.loadPreparedManifest();
  if (!loaded) return menu;
  auto target = resolveTargetURL();
  // No menu offers a command that could not be delivered.
  if (!target || !HistoryRequest::canCarryTarget(target->path())) return menu;
  const RootMatch match =
      matchTarget(*target, loaded->manifest, loaded->index, services_.fileSystem);
  if (!match.isWatched && !match.isDirectory) return menu;  // a file outside every root
  menu.addItem(makeHistoryItem(match));
  return menu;
}

std::optional<FileURL> FinderSync::resolveTargetURL() {
  auto selected = services_.host.selectedItemURLs();
  if (selected && !selected->empty()) return selected->front();
  return services_.host.targetedURL();
}

MenuItem FinderSync::makeHistoryItem(const RootMatch& match) {
  MenuItem item(localizedTitle("finder.menu.history"), std::nullopt, "");
  item.image = brandGlyphImage();
  item.submenu = std::make_unique<Menu>(makeHistorySubmenu(match));
  item.action = match.isWatched ? Selector::showHistory : Selector::enableHistory;
  item.target = this;
  return item;
}

Menu FinderSync::makeHistorySubmenu(const RootMatch& match) {
  Menu submenu("");
  submenu.autoenablesItems = false;
  const bool manual = match.mode == RootMode::manual;
  submenu.addItem(makeCommandItem(
      "finder.menu.enable", Selector::enableHistory,
      (match.isDirectory && !match.isWatched) || (match.isRoot && !match.isEnabled)));
  submenu.addItem(makeCommandItem("finder.menu.disable", Selector::disableHistory,
                                  match.isRoot && match.isEnabled));
  submenu.addItem(MenuItem::separatorItem());
  submenu.addItem(makeCommandItem("finder.menu.snapshot", Selector::snapshotNow,
                                  match.isRoot && match.isEnabled && manual));
  submenu.addItem(makeCommandItem("finder.menu.restorePrevious", Selector::restorePrevious,
                                  match.isWatched && !match.isDirectory));
  submenu.addItem(MenuItem::separatorItem());
  submenu.addItem(
      makeCommandItem("finder.menu.showHistory", Selector::showHistory, match.isWatched));
  submenu.items.front().state = match.isEnabled ? MenuItemState::on : MenuItemState::off;
  return submenu;
}

// A disabled entry has neither action nor target, so it cannot send anything
// even when a host ignores the enabled flag.
MenuItem FinderSync::makeCommandItem(std::string_view titleKey, Selector selector, bool enabled) {
  MenuItem item(localizedTitle(titleKey), std::nullopt, "");
  item.command = selector;
  if (enabled) {
    item.action = selector;
    item.target = this;
  }
  item.enabled = enabled;
  return item;
}

std::optional<MenuImage> FinderSync::brandGlyphImage() {
  auto image = services_.mainBundle.imageNamed(kBrandGlyph);
  if (!image || !(image->height > 0)) return std::nullopt;
  // std::round takes halves away from zero: 33 x 32 is drawn at 17 x 16.
  return MenuImage{image->name, std::round(kGlyphHeight * (image->width / image->height)),
                   kGlyphHeight, /*isTemplate=*/false};
}

std::string FinderSync::localizedTitle(std::string_view key) {
  return services_.mainBundle.localizedString(key, "");
}

void FinderSync::showHistory(const MenuItem*) {
  submitter_.submitRequest(Kind::showHistory, /*attachBookmark=*/false, /*wakeMainApp=*/true);
}

void FinderSync::enableHistory(const MenuItem*) {
  submitter_.submitRequest(Kind::enableHistory, /*attachBookmark=*/true, /*wakeMainApp=*/true);
}

void FinderSync::disableHistory(const MenuItem*) {
  submitter_.submitRequest(Kind::disableHistory, /*attachBookmark=*/false, /*wakeMainApp=*/false);
}

void FinderSync::snapshotNow(const MenuItem*) {
  submitter_.submitRequest(Kind::snapshotNow, /*attachBookmark=*/false, /*wakeMainApp=*/false);
}

void FinderSync::restorePrevious(const MenuItem*) {
  submitter_.submitRequest(Kind::restorePrevious, /*attachBookmark=*/false, /*wakeMainApp=*/true);
}

void FinderSync::perform(Selector selector, const MenuItem* sender) {
  switch (selector) {
    case Selector::showHistory:
      return showHistory(sender);
    case Selector::enableHistory:
      return enableHistory(sender);
    case Selector::disableHistory:
      return disableHistory(sender);
    case Selector::snapshotNow:
      return snapshotNow(sender);
    case Selector::restorePrevious:
      return restorePrevious(sender);
  }
}

}  // namespace tarvine
