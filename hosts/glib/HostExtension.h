#pragma once

#include <glib-object.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "extension/FinderSync.h"
#include "hosts/glib/BusNameWatch.h"
#include "hosts/glib/FileManagerHost.h"
#include "platform/linux/LibuuidGenerator.h"
#include "platform/linux/LinuxBookmarks.h"
#include "platform/linux/PlistBundle.h"
#include "platform/linux/SyslogLog.h"
#include "platform/linux/SystemClock.h"
#include "platform/posix/PosixFileSystem.h"

namespace tarvine {

// An item as a file manager reports it: its URI, and whether it is a folder.
struct FileManagerItem {
  std::string uri;
  bool isDirectory = false;
};

// A menu for the file manager to show, with the selection it was built for.
struct HostMenu {
  Menu menu;
  std::shared_ptr<const CapturedSelection> selection;
};

// The one extension of a file-manager process: the core's FinderSync with the
// Linux services and a bus-name watch, fed by a file manager's module. What
// every file manager shares is here; a module only makes its API calls and
// turns a HostMenu into its own menu items. Everything runs on the file
// manager's main thread and nothing waits on another process.
class HostExtension {
 public:
  static constexpr const char* bundleVariable = "TARVINE_EXTENSION_BUNDLE";

  // The extension bundle: $TARVINE_EXTENSION_BUNDLE when set (for tests), else
  // where the build installed it.
  static std::string bundlePath(const char* installed);

  explicit HostExtension(const std::string& bundlePath);

  // Registers a plain GObject type named `name` in `module` that implements
  // the file manager's menu-provider interface with `initInterface`. Nemo,
  // Caja and Nautilus load modules as GTypeModules; Thunar's plugin is one.
  static GType registerProvider(GTypeModule* module, const char* name, GType menuProvider,
                                GInterfaceInitFunc initInterface);
  HostExtension(const HostExtension&) = delete;
  HostExtension& operator=(const HostExtension&) = delete;

  // The menu for selected items (kind 0) or for the empty space of a folder
  // (kind 1). Absent when the extension offers nothing: a location that is not
  // a local file, outside the registered scope, or an empty menu.
  std::optional<HostMenu> menuForSelection(const std::vector<FileManagerItem>& items);
  std::optional<HostMenu> menuForFolder(const FileManagerItem& folder);

  // Delivers a chosen entry's selector with the selection of its menu.
  void perform(const CapturedSelection& selection, Selector selector);

  // A file URI as a file URL (percent-decoded; folder form for a directory);
  // absent for any other scheme (trash:, network locations, search results).
  static std::optional<FileURL> fileURL(const FileManagerItem& item);

  // The selector an entry delivers when picked, or absent: a separator, a
  // disabled entry, or one without an action or a target.
  static std::optional<Selector> deliveredSelector(const MenuItem& item);
  // For menus that cannot show a check mark: the title with the entry's state
  // in it ("✓ Enable History" when on).
  static std::string titleShowingState(const MenuItem& item);

  // The file of an entry's image in the bundle, for APIs that take an icon by
  // its path; absent when the entry has none.
  std::optional<std::string> imagePath(const MenuItem& item);

  BusNameWatch& workspace() { return workspace_; }

 private:
  std::optional<HostMenu> menuFor(CapturedSelection selection, std::uint64_t kind);

  PlistBundle bundle_;
  PosixFileSystem fileSystem_;
  BusNameWatch workspace_;
  LinuxBookmarks bookmarks_;
  SyslogLog log_;
  SystemClock clock_;
  LibuuidGenerator uuids_;
  FileManagerHost host_;
  Identifiers identifiers_;
  FinderSync extension_;
};

}  // namespace tarvine
