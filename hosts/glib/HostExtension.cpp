#include "hosts/glib/HostExtension.h"

#include <cstdlib>

namespace tarvine {

std::string HostExtension::bundlePath(const char* installed) {
  const char* chosen = std::getenv(bundleVariable);
  return chosen != nullptr && chosen[0] != '\0' ? chosen : installed;
}

HostExtension::HostExtension(const std::string& bundlePath)
    : bundle_(bundlePath, PlistBundle::languagesFromEnvironment()),
      fileSystem_(PosixFileSystem::dataHomeFromEnvironment()),
      identifiers_(bundle_, fileSystem_),
      extension_(
          Services{host_, bundle_, fileSystem_, workspace_, bookmarks_, log_, clock_, uuids_},
          identifiers_) {
  // Watched from now on, so that the first menu already knows.
  workspace_.watch(identifiers_.mainAppBundleIdentifier());
}

GType HostExtension::registerProvider(GTypeModule* module, const char* name, GType menuProvider,
                                      GInterfaceInitFunc initInterface) {
  GTypeInfo info{};
  info.class_size = sizeof(GObjectClass);
  info.instance_size = sizeof(GObject);
  const GType type =
      g_type_module_register_type(module, G_TYPE_OBJECT, name, &info, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider{initInterface, nullptr, nullptr};
  g_type_module_add_interface(module, type, menuProvider, &provider);
  return type;
}

std::optional<FileURL> HostExtension::fileURL(const FileManagerItem& item) {
  auto url = FileURL::parse(item.uri);
  if (!url) return std::nullopt;
  return FileURL::fromPath(url->path(), item.isDirectory);
}

std::optional<HostMenu> HostExtension::menuForSelection(const std::vector<FileManagerItem>& items) {
  CapturedSelection selection;
  selection.selected.emplace();
  for (const FileManagerItem& item : items) {
    auto url = fileURL(item);
    if (!url) return std::nullopt;
    selection.selected->push_back(*url);
  }
  if (selection.selected->empty()) return std::nullopt;
  return menuFor(std::move(selection), 0);
}

std::optional<HostMenu> HostExtension::menuForFolder(const FileManagerItem& folder) {
  auto url = fileURL(FileManagerItem{folder.uri, true});
  if (!url) return std::nullopt;
  CapturedSelection selection;
  selection.targeted = *url;
  return menuFor(std::move(selection), 1);
}

std::optional<HostMenu> HostExtension::menuFor(CapturedSelection selection, std::uint64_t kind) {
  const FileURL& about = selection.selected ? selection.selected->front() : *selection.targeted;
  if (!host_.inScope(about)) return std::nullopt;
  auto captured = std::make_shared<const CapturedSelection>(std::move(selection));
  FileManagerHost::Serving serving(host_, *captured);
  Menu menu = extension_.menuForMenuKind(kind);
  if (menu.items.empty()) return std::nullopt;
  return HostMenu{std::move(menu), std::move(captured)};
}

void HostExtension::perform(const CapturedSelection& selection, Selector selector) {
  FileManagerHost::Serving serving(host_, selection);
  extension_.perform(selector);
}

std::optional<Selector> HostExtension::deliveredSelector(const MenuItem& item) {
  if (item.isSeparator || !item.enabled || item.target == nullptr) return std::nullopt;
  return item.action;
}

std::string HostExtension::titleShowingState(const MenuItem& item) {
  return item.state == MenuItemState::on ? "\u2713 " + item.title : item.title;
}

}  // namespace tarvine

namespace tarvine {

std::optional<std::string> HostExtension::imagePath(const MenuItem& item) {
  if (!item.image) return std::nullopt;
  return bundle_.imagePath(item.image->name);
}

}  // namespace tarvine
