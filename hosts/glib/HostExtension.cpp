#include "hosts/glib/HostExtension.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/PosixFileSystem.h"

namespace tarvine {
namespace {

// The POSIX file system with the file manager's smaller limit on what it reads,
// saying once for each version of a file why it was not read.
class BoundedFileSystem : public PosixFileSystem {
 public:
  BoundedFileSystem(std::string dataHome, SystemLog& log)
      : PosixFileSystem(std::move(dataHome)), log_(log) {}

  Result<std::string> readFile(const FileURL& url) override {
    Result<std::string> content = readRegularFile(url.path(), HostExtension::maxManifestBytes);
    if (!content.ok() && content.status().errorNumber() == EFBIG) {
      struct stat info {};
      std::string version = url.path();
      if (::stat(url.path().c_str(), &info) == 0) {
        version += "@" + std::to_string(info.st_size) + "@" + std::to_string(info.st_mtim.tv_sec) +
                   "." + std::to_string(info.st_mtim.tv_nsec);
      }
      if (version != lastRefused_) {
        lastRefused_ = version;
        log_.write(std::string(HostExtension::oversizedManifestLine) + url.path());
      }
    }
    return content;
  }

 private:
  SystemLog& log_;
  std::string lastRefused_;
};

}  // namespace

// The extension's file system, noting whether the last read failed because of
// what the file is (its content, its size, not a regular file) or for a reason
// that may pass (descriptors or memory short, an I/O error).
class HostExtension::NotedReads : public FileSystem {
 public:
  explicit NotedReads(FileSystem& inner) : inner_(inner) {}

  // Forgets the last read.
  void forget() { lastReadRefusedFile_ = false; }
  // Whether a read since `forget` failed, or gave content, because of the file.
  bool lastReadRefusedFile() const { return lastReadRefusedFile_; }

  Result<std::string> readFile(const FileURL& url) override {
    Result<std::string> content = inner_.readFile(url);
    const int error = content.ok() ? 0 : content.status().errorNumber();
    // Content read whole is the file's own; so are a size over the limit and
    // a file that is not a regular one.
    lastReadRefusedFile_ = content.ok() || error == EFBIG || error == EINVAL;
    return content;
  }

  std::optional<std::string> userDatabaseHomeDirectory() override {
    return inner_.userDatabaseHomeDirectory();
  }
  FileURL homeDirectoryForCurrentUser() override { return inner_.homeDirectoryForCurrentUser(); }
  std::optional<FileURL> containerURLForSecurityApplicationGroupIdentifier(
      std::string_view groupIdentifier) override {
    return inner_.containerURLForSecurityApplicationGroupIdentifier(groupIdentifier);
  }
  std::optional<Timestamp> contentModificationDate(const FileURL& url) override {
    return inner_.contentModificationDate(url);
  }
  Status createDirectory(const FileURL& url) override { return inner_.createDirectory(url); }
  Status writeFileAtomically(const FileURL& url, std::string_view content) override {
    return inner_.writeFileAtomically(url, content);
  }
  FileURL resolvingSymlinksInPath(const FileURL& url) override {
    return inner_.resolvingSymlinksInPath(url);
  }

 private:
  FileSystem& inner_;
  bool lastReadRefusedFile_ = false;
};

const std::string* HostMenu::imageFile(const MenuItem& item) const {
  if (!item.image) return nullptr;
  auto found = imageFiles.find(item.image->name);
  return found != imageFiles.end() ? &found->second : nullptr;
}

std::string HostExtension::bundlePath(const char* installed) {
  const char* chosen = std::getenv(bundleVariable);
  return chosen != nullptr && chosen[0] != '\0' ? chosen : installed;
}

HostExtension::HostExtension(const std::string& bundlePath) : HostExtension(bundlePath, nullptr) {}

HostExtension::HostExtension(const std::string& bundlePath, std::unique_ptr<FileSystem> fileSystem,
                             std::unique_ptr<SystemLog> log)
    : log_(log ? std::move(log) : std::make_unique<SyslogSocketLog>()),
      failures_(*log_),
      bundle_(bundlePath, PlistBundle::languagesFromEnvironment()),
      givenFileSystem_(fileSystem ? std::move(fileSystem)
                                  : std::make_unique<BoundedFileSystem>(
                                        PosixFileSystem::dataHomeFromEnvironment(), *log_)),
      notedReads_(std::make_unique<NotedReads>(*givenFileSystem_)),
      fileSystem_(notedReads_.get()),
      identifiers_(bundle_, *fileSystem_, Identifiers::processWide()),
      extension_(
          Services{host_, bundle_, *fileSystem_, workspace_, bookmarks_, *log_, clock_, uuids_},
          identifiers_) {
  // Watched from now on, so that the first menu already knows.
  workspace_.watch(identifiers_.mainAppBundleIdentifier());
  workspace_.onChange([this] { changed(); });
  watchManifest();
  // Loaded now, so that the first menu is served from memory.
  lastManifest_ = loadManifest();
}

HostExtension::~HostExtension() {
  if (monitor_ != nullptr) {
    g_file_monitor_cancel(monitor_);
    g_signal_handlers_disconnect_by_data(monitor_, this);
    g_object_unref(monitor_);
  }
}

void HostExtension::watchManifest() {
  // The manifest's own path, whether or not its folder exists yet: GIO watches
  // the nearest folder that does. Through the local file system only: the
  // default one (GVfs) would connect the host to the session bus on a
  // connection that ends the whole process when the bus goes away.
  const std::string path = PosixFileSystem::dataHomeFromEnvironment() + "/" +
                           identifiers_.appGroupIdentifier() + "/" +
                           std::string(ManifestLoader::manifestFileName);
  GFile* file = g_vfs_get_file_for_path(g_vfs_get_local(), path.c_str());
  monitor_ = g_file_monitor_file(file, G_FILE_MONITOR_NONE, nullptr, nullptr);
  g_object_unref(file);
  if (monitor_ == nullptr) return;
  g_signal_connect(
      monitor_, "changed",
      G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent event, gpointer self) {
        // A file still being written is read once it is done.
        if (event == G_FILE_MONITOR_EVENT_CHANGED) return;
        static_cast<HostExtension*>(self)->manifestMayHaveChanged();
      }),
      this);
}

std::optional<HostExtension::FileVersion> HostExtension::manifestVersion() {
  auto container = identifiers_.sharedContainerURL();
  if (!container) return std::nullopt;
  const std::string path =
      container->appendingPathComponent(ManifestLoader::manifestFileName, false).path();
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return FileVersion{info.st_dev,         info.st_ino,          info.st_size,
                     info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_ctim.tv_sec,
                     info.st_ctim.tv_nsec};
}

std::shared_ptr<const WatchedRootsManifest> HostExtension::loadManifest() {
  // The loader keeps no failure (the next call reads the file again), which
  // for a large file the application left truncated would cost every click
  // the whole bound: the version it failed on is kept here instead.
  const std::optional<FileVersion> version = manifestVersion();
  if (version && version == unreadableManifest_) return nullptr;
  notedReads_->forget();
  auto manifest = extension_.loadManifest();
  if (manifest) {
    unreadableManifest_.reset();
  } else if (version && notedReads_->lastReadRefusedFile()) {
    // Only the version that was read, and only for what it is: a failure that
    // may pass is tried again at the next menu. (Memory running out while
    // decoding is taken for the content; the file is read again once it
    // changes, which the application's next publication does.)
    if (manifestVersion() == version) unreadableManifest_ = version;
  }
  return manifest;
}

void HostExtension::manifestMayHaveChanged() {
  // Called from GLib: nothing may be thrown through it.
  try {
    auto manifest = loadManifest();
    if (manifest == lastManifest_) return;
    lastManifest_ = std::move(manifest);
    changed();
  } catch (...) {
    // The next menu loads it again.
    failed(GuardedCall::manifestChange, FailureLog::currentReason());
  }
}

void HostExtension::onChange(std::function<void()> callback) { changed_ = std::move(callback); }

void HostExtension::changed() {
  // Called from GLib's callbacks: nothing may be thrown through them.
  try {
    if (changed_) changed_();
  } catch (...) {
    // The file manager is not told; its next menu is asked for all the same.
    failed(GuardedCall::changeNotice, FailureLog::currentReason());
  }
}

namespace {

// Whether `url` is already as FileURL::fromPath(url.path(), isDirectory) would
// make it: one trailing "/" for a folder, none for a file ("/" is both).
bool inForm(const FileURL& url, bool isDirectory) {
  const std::string& path = url.rawPath();
  if (path.size() <= 1) return true;
  const bool slash = path.back() == '/';
  return isDirectory ? slash && path[path.size() - 2] != '/' : !slash;
}

}  // namespace

std::optional<FileURL> HostExtension::fileURL(const FileManagerItem& item) {
  auto url = FileURL::parse(item.uri);
  // Nearly always in form already: then kept as parsed, with no copy.
  if (!url || inForm(*url, item.isDirectory)) return url;
  return FileURL::fromPath(url->path(), item.isDirectory);
}

namespace {

// Whether the file at `url` is the one the file manager means. A name the file
// manager could not decode comes as another path, with U+FFFD in it, which
// names no file or another one: with the item's device and inode known, they
// must match; without them, a path with U+FFFD must at least exist.
bool isTheItem(const FileURL& url, const FileManagerItem& item) {
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  if (!item.identity && url.rawPath().find(kReplacement) == std::string::npos) return true;
  struct stat info {};
  if (::lstat(url.path().c_str(), &info) != 0) return false;
  return !item.identity ||
         (info.st_dev == item.identity->first && info.st_ino == item.identity->second);
}

}  // namespace

std::optional<HostMenu> HostExtension::menuForSelection(std::vector<FileManagerItem> items) {
  // Each click on the same selection (and the file managers that ask again
  // while a menu is open) would convert and check every item again: for
  // thousands of files that was most of the bound, or all of it where each
  // item's identity is checked. The last selection found good is kept; the
  // file manager hands over other items once any of them changes.
  if (!lastSelection_ || items != lastItems_) {
    CapturedSelection selection;
    selection.selected.emplace();
    selection.selected->reserve(items.size());
    for (const FileManagerItem& item : items) {
      auto url = fileURL(item);
      if (!url || !isTheItem(*url, item)) return std::nullopt;
      selection.selected->push_back(std::move(*url));
    }
    if (selection.selected->empty()) return std::nullopt;
    lastSelection_ = std::make_shared<const CapturedSelection>(std::move(selection));
    lastItems_ = std::move(items);
  }
  return menuFor(lastSelection_, MenuKind::contextualMenuForItems);
}

std::optional<HostMenu> HostExtension::menuForFolder(const FileManagerItem& folder) {
  FileManagerItem asFolder = folder;
  asFolder.isDirectory = true;
  auto url = fileURL(asFolder);
  if (!url || !isTheItem(*url, asFolder)) return std::nullopt;
  auto selection = std::make_shared<CapturedSelection>();
  selection->targeted = std::move(*url);
  return menuFor(std::move(selection), MenuKind::contextualMenuForContainer);
}

std::optional<HostMenu> HostExtension::menuFor(std::shared_ptr<const CapturedSelection> captured,
                                               MenuKind kind) {
  const FileURL& about = captured->selected ? captured->selected->front() : *captured->targeted;
  if (!host_.inScope(about)) return std::nullopt;
  // Without a manifest the menu is empty: a version known to be unreadable
  // answers here, before anything is read.
  if (!loadManifest()) return std::nullopt;
  FileManagerHost::Serving serving(host_, *captured);
  HostMenu menu{extension_.menuForMenuKind(kind), captured, {}};
  if (menu.menu.items.empty()) return std::nullopt;
  for (const MenuItem& item : menu.menu.items) {
    if (!item.image) continue;
    if (auto file = bundle_.imagePath(item.image->name)) menu.imageFiles[item.image->name] = *file;
  }
  return menu;
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

std::string HostExtension::itemName(const MenuItem& item, std::string_view scope,
                                    std::size_t position) {
  std::string name = "Tarvine::" + std::string(scope);
  if (item.isSeparator) return name + "separator" + std::to_string(position);
  if (!item.command) return name + "history";
  std::string_view selector = selectorName(*item.command);
  selector.remove_suffix(1);  // the colon
  return name + std::string(selector);
}

}  // namespace tarvine
