#pragma once

#include <glib-object.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extension/FinderSync.h"
#include "hosts/glib/BusNameWatch.h"
#include "hosts/glib/FailureLog.h"
#include "hosts/glib/FileManagerHost.h"
#include "platform/linux/LibuuidGenerator.h"
#include "platform/linux/LinuxBookmarks.h"
#include "platform/linux/PlistBundle.h"
#include "platform/linux/SyslogSocketLog.h"
#include "platform/linux/SystemClock.h"

typedef struct _GFileMonitor GFileMonitor;

namespace tarvine {

// An item as a file manager reports it: its URI, whether it is a folder, and,
// where the file manager knows them, its device and inode (a name it could not
// decode then cannot be taken for another file's).
struct FileManagerItem {
  std::string uri;
  bool isDirectory = false;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> identity;

  bool operator==(const FileManagerItem&) const = default;
};

// A menu for the file manager to show, with the selection it was built for
// and the files of its images, looked up with it so that showing it touches
// no file.
struct HostMenu {
  Menu menu;
  std::shared_ptr<const CapturedSelection> selection;
  std::map<std::string, std::string, std::less<>> imageFiles;

  // The file of an entry's image, or null when it has none.
  const std::string* imageFile(const MenuItem& item) const;
};

// The one extension of a file-manager process: the core's FinderSync with the
// Linux services, a bus-name watch and a monitor of the manifest. It lives on
// the extension's own thread (ExtensionWorker), whose main context drives the
// watch and the monitor; every call comes from that thread.
class HostExtension {
 public:
  static constexpr const char* bundleVariable = "TARVINE_EXTENSION_BUNDLE";
  // Inside a file manager a larger manifest (about 600,000 roots) is unreadable:
  // a broken or hostile file must not put gigabytes into someone else's program.
  static constexpr std::size_t mebibyte = std::size_t{1} << 20;
  static constexpr std::size_t maxManifestBytes = 64 * mebibyte;
  static constexpr const char* oversizedManifestLine =
      "TarvineFinderSync: roots.json is over 64 MiB and is not read in the file manager: ";

  // The extension bundle: $TARVINE_EXTENSION_BUNDLE when set (for tests), else
  // where the build installed it.
  static std::string bundlePath(const char* installed);

  explicit HostExtension(const std::string& bundlePath);
  // The same over another file system (tests slow it down or make it fail),
  // and another log than the system's when `log` is given (tests read it).
  HostExtension(const std::string& bundlePath, std::unique_ptr<FileSystem> fileSystem,
                std::unique_ptr<SystemLog> log = nullptr);
  ~HostExtension();
  HostExtension(const HostExtension&) = delete;
  HostExtension& operator=(const HostExtension&) = delete;

  // The menu for selected items or for the empty space of a folder. Absent when the extension
  // offers nothing: a location that is not a local file, outside the registered scope, an item that
  // is not what the file manager says, or an empty menu.
  std::optional<HostMenu> menuForSelection(std::vector<FileManagerItem> items);
  std::optional<HostMenu> menuForFolder(const FileManagerItem& folder);

  // Delivers a chosen entry's selector with the selection of its menu.
  void perform(const CapturedSelection& selection, Selector selector);

  // Says in the log, rate-limited, that a guarded call failed `times` times,
  // the last for `reason`. Never throws.
  void failed(GuardedCall call, std::string_view reason, std::size_t times = 1) noexcept {
    failures_.failed(call, reason, times);
  }

  // Called once it is known whether the main application runs (or that no bus
  // will say), at once if that is known already.
  void whenReady(std::function<void()> callback) { workspace_.whenSettled(std::move(callback)); }
  // Called when menus may have changed: the main application came or went, or
  // another manifest was loaded.
  void onChange(std::function<void()> callback);

  // A file URI as a file URL (percent-decoded; folder form for a directory);
  // absent for any other scheme (trash:, network locations, search results).
  static std::optional<FileURL> fileURL(const FileManagerItem& item);

  // The selector an entry delivers when picked, or absent: a separator, a
  // disabled entry, or one without an action or a target.
  static std::optional<Selector> deliveredSelector(const MenuItem& item);
  // For menus that cannot show a check mark: the title with the entry's state
  // in it ("✓ Enable History" when on).
  static std::string titleShowingState(const MenuItem& item);
  // A stable name for a file manager's item, from the command it offers:
  // "Tarvine::snapshotNow", "Tarvine::history" for the item that holds the
  // submenu, "Tarvine::separator3" by position; `scope` ("folder::") keeps
  // the names of one kind of menu apart from another's.
  static std::string itemName(const MenuItem& item, std::string_view scope, std::size_t position);

 private:
  class NotedReads;

  // One version of a file: it is another once any of these differ.
  struct FileVersion {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
    bool operator==(const FileVersion&) const = default;
  };
  // The manifest file's version, or absent when it cannot be examined.
  std::optional<FileVersion> manifestVersion();

  std::optional<HostMenu> menuFor(std::shared_ptr<const CapturedSelection> captured, MenuKind kind);
  // The manifest, or null. A version of the file already found unreadable for
  // its content is not read again: until it changes, it is no manifest at once.
  std::shared_ptr<const WatchedRootsManifest> loadManifest();
  void watchManifest();
  void manifestMayHaveChanged();
  void changed();

  std::unique_ptr<SystemLog> log_;
  FailureLog failures_;
  PlistBundle bundle_;
  // The file system given (or the bounded one), through `notedReads_`.
  std::unique_ptr<FileSystem> givenFileSystem_;
  std::unique_ptr<NotedReads> notedReads_;
  FileSystem* fileSystem_;
  BusNameWatch workspace_;
  LinuxBookmarks bookmarks_;
  SystemClock clock_;
  LibuuidGenerator uuids_;
  FileManagerHost host_;
  Identifiers identifiers_;
  FinderSync extension_;
  GFileMonitor* monitor_ = nullptr;
  std::shared_ptr<const WatchedRootsManifest> lastManifest_;
  std::optional<FileVersion> unreadableManifest_;
  // The last selection converted and found good, and the items it came from.
  std::vector<FileManagerItem> lastItems_;
  std::shared_ptr<const CapturedSelection> lastSelection_;
  std::function<void()> changed_;
};

}  // namespace tarvine
