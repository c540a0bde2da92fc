#include "app/AutomaticSnapshots.h"

#include <dirent.h>
#include <gio/gunixmounts.h>
#include <glib-unix.h>
#include <glib.h>
#include <glib/gi18n.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "roots/Language.h"
#include "roots/Words.h"

namespace tarvine::app {
namespace {

using roots::language::formatted;

constexpr uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                             IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                             IN_DONT_FOLLOW;
// What a root's own watch reports when the root may be gone: its file system
// unmounted, the folder deleted or moved away, the watch ended.
constexpr uint32_t kRootGone = IN_UNMOUNT | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;
// Where watches ran out, a scan this often.
constexpr unsigned kScanSeconds = 60;
// Room for a few hundred events a read.
constexpr std::size_t kEventBufferBytes = 16 * 1024;

// The device of the folder `path` (0 when it is not there).
dev_t deviceOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_dev : 0;
}

}  // namespace

AutomaticSnapshots::AutomaticSnapshots(roots::Keeper& keeper, std::chrono::milliseconds quiet,
                                       Say say)
    : keeper_(keeper), quiet_(quiet), say_(std::move(say)) {}

AutomaticSnapshots::~AutomaticSnapshots() {
  follow({});
  if (scanSource_ != 0) g_source_remove(scanSource_);
  if (checkSource_ != 0) g_source_remove(checkSource_);
  if (mounts_ != nullptr) {
    g_signal_handlers_disconnect_by_data(mounts_, this);
    g_object_unref(mounts_);
  }
}

void AutomaticSnapshots::follow(const std::vector<roots::Root>& roots) {
  // Starts afresh: watches are cheap to make, and a root's folders may have
  // changed while it was not followed.
  if (source_ != 0) g_source_remove(source_);
  source_ = 0;
  inotify_ = FileDescriptor();
  watches_.clear();
  scanned_.clear();
  partlyWatched_.clear();
  std::set<std::string> wanted;
  for (const roots::Root& root : roots) {
    if (!root.isPaused && modeOf(root) == RootMode::automatic) wanted.insert(root.path);
  }
  for (auto it = timers_.begin(); it != timers_.end();) {
    if (wanted.count(it->first) == 0) {
      g_source_remove(it->second);
      it = timers_.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(pending_, [&](const auto& root) { return wanted.count(root.first) == 0; });
  // Watched anew below: what changed in between was seen by nobody.
  for (auto& [root, pending] : pending_) pending.readWholeNextTime();
  std::set<std::string> previously = std::move(followed_);
  followed_ = wanted;
  std::erase_if(unavailable_, [&](const std::string& root) { return wanted.count(root) == 0; });
  devices_.clear();
  if (wanted.empty()) return;
  if (mounts_ == nullptr) {
    mounts_ = g_unix_mount_monitor_get();
    g_signal_connect(mounts_, "mounts-changed", G_CALLBACK(+[](GUnixMountMonitor*, gpointer self) {
                       static_cast<AutomaticSnapshots*>(self)->mountsChanged();
                     }),
                     this);
  }
  inotify_ = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (inotify_.valid()) {
    source_ = g_unix_fd_add(
        inotify_.get(), G_IO_IN,
        [](int, GIOCondition, gpointer self) -> gboolean {
          static_cast<AutomaticSnapshots*>(self)->readEvents();
          return G_SOURCE_CONTINUE;
        },
        this);
  }
  for (const std::string& root : wanted) {
    if (unavailable_.count(root) != 0) continue;  // watched again once it is back
    devices_[root] = deviceOf(root);
    if (inotify_.valid()) {
      watchTree(root, root);
    } else {
      scanned_.insert(root);
    }
    if (previously.count(root) == 0) changedAnywhere(root);
  }
  if (!scanned_.empty() && scanSource_ == 0) {
    scanSource_ = g_timeout_add_seconds(
        kScanSeconds,
        [](gpointer self) -> gboolean {
          auto* snapshots = static_cast<AutomaticSnapshots*>(self);
          for (const std::string& root : snapshots->scanned_) snapshots->settle(root);
          return G_SOURCE_CONTINUE;
        },
        this);
  }
}

bool AutomaticSnapshots::pending(const std::string& root) const {
  const auto changes = pending_.find(root);
  return timers_.count(root) != 0 || (changes != pending_.end() && changes->second.pending());
}

void AutomaticSnapshots::watchTree(const std::string& root, const std::string& folder) {
  // The container's own writes are no change of the root's.
  if (scanned_.count(root) != 0 || folder == keeper_.container().path()) return;
  const int watch = ::inotify_add_watch(inotify_.get(), folder.c_str(), kEvents);
  if (watch < 0) {
    if (errno == ENOSPC) {
      scanned_.insert(root);
      say_(formatted(_("out of inotify watches in %s; it is scanned every %d s instead"),
                     root.c_str(), static_cast<int>(kScanSeconds)));
    } else if (errno != ENOENT) {
      // Unwatched, its changes would go unseen: the root is read whole.
      partlyWatched_.insert(root);
    }
    return;  // a folder gone or unreadable is skipped, as snapshots skip it
  }
  watches_[watch] = {root, folder};
  DIR* listing = ::opendir(folder.c_str());
  if (listing == nullptr) return;
  while (dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || entry->d_type != DT_DIR) continue;
    watchTree(root, folder + "/" + name);
  }
  ::closedir(listing);
}

void AutomaticSnapshots::readEvents() {
  alignas(inotify_event) char buffer[kEventBufferBytes];
  for (;;) {
    const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
    if (got <= 0) return;
    for (char* at = buffer; at < buffer + got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      at += sizeof(inotify_event) + event->len;
      if (event->mask & IN_Q_OVERFLOW) {
        for (const std::string& root : followed_) changedAnywhere(root);
        continue;
      }
      auto found = watches_.find(event->wd);
      if (found == watches_.end()) continue;
      const auto [root, folder] = found->second;
      if (folder == root && (event->mask & kRootGone)) {
        watches_.erase(found);
        recheck(root);
        continue;
      }
      const std::string name = event->len > 0 ? event->name : "";
      // A folder moved away keeps its watches wherever it went, which would
      // name it by its old path here: dropped (moved within the root, it is
      // watched again under its new name just after).
      if ((event->mask & IN_ISDIR) && (event->mask & IN_MOVED_FROM) && !name.empty()) {
        dropWatchesBelow(folder + "/" + name);
      }
      if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO | IN_ATTRIB)) &&
          !name.empty()) {
        watchTree(root, folder + "/" + name);
      }
      if (event->mask & IN_IGNORED) watches_.erase(event->wd);
      const std::string relative = folder == root ? "" : folder.substr(root.size() + 1);
      pending_[root].event(event->mask, relative, name, PendingChanges::Clock::now());
      schedule(root);
    }
  }
}

void AutomaticSnapshots::changedAnywhere(const std::string& root) {
  pending_[root].changedAnywhere(PendingChanges::Clock::now());
  schedule(root);
}

void AutomaticSnapshots::schedule(const std::string& root) {
  const PendingChanges& pending = pending_[root];
  if (!pending.pending()) return;
  auto timer = timers_.find(root);
  if (timer != timers_.end()) g_source_remove(timer->second);
  const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
      pending.due(quiet_) - PendingChanges::Clock::now());
  struct Due {
    AutomaticSnapshots* self;
    std::string root;
  };
  timers_[root] = g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<guint>(std::max<std::int64_t>(wait.count(), 0)),
      [](gpointer data) -> gboolean {
        auto* due = static_cast<Due*>(data);
        due->self->timers_.erase(due->root);
        due->self->settle(due->root);
        return G_SOURCE_REMOVE;
      },
      new Due{this, root}, [](gpointer data) { delete static_cast<Due*>(data); });
}

void AutomaticSnapshots::settle(const std::string& root) {
  PendingChanges& pending = pending_[root];
  const auto now = PendingChanges::Clock::now();
  if (scanned_.count(root) != 0 || partlyWatched_.count(root) != 0) pending.changedAnywhere(now);
  history::SnapshotOptions options;
  if (auto reads = pending.take(now)) {
    options.changedFolders = std::move(reads->folders);
    options.newFolders = std::move(reads->whole);
  }
  auto taken = keeper_.snapshot(root, history::Reason::automatic, options, /*tidy=*/true);
  // What it should have read is read by the next one, whole.
  if (!taken.ok()) pending.readWholeNextTime();
  if (!taken.ok() && taken.status().kind() == Status::Kind::unavailable) {
    return markUnavailable(root, taken.status());
  }
  if (!taken.ok()) return say_(taken.status().message());
  if (unavailable_.count(root) != 0) recheck(root);  // back, as a scan found
  std::vector<std::string> lines = roots::words::taken(*taken);
  // An unchanged root is no news; what it could not read still is.
  const bool unchanged = taken->snapshot.id.empty();
  for (std::size_t i = unchanged ? 1 : 0; i < lines.size(); ++i) say_(lines[i]);
}

void AutomaticSnapshots::recheck(const std::string& root) {
  if (followed_.count(root) == 0) return;
  const Status there = keeper_.available(root);
  if (there.kind() == Status::Kind::unavailable) return markUnavailable(root, there);
  if (unavailable_.erase(root) != 0) say_(roots::words::availableAgain(root));
  // Its folders may be other ones now (a disk mounted again): watched afresh.
  dropWatches(root);
  devices_[root] = deviceOf(root);
  if (inotify_.valid()) watchTree(root, root);
  changedAnywhere(root);
}

void AutomaticSnapshots::markUnavailable(const std::string& root, const Status& why) {
  dropWatches(root);
  if (auto pending = timers_.find(root); pending != timers_.end()) {
    g_source_remove(pending->second);
    timers_.erase(pending);
  }
  if (!unavailable_.insert(root).second) return;  // said already
  say_(roots::words::unavailable(root, why));
  if (checkSource_ != 0) return;
  checkSource_ = g_timeout_add_seconds(
      kUnavailableCheckSeconds,
      [](gpointer data) -> gboolean {
        auto* self = static_cast<AutomaticSnapshots*>(data);
        const std::set<std::string> unavailable = self->unavailable_;
        for (const std::string& root : unavailable) self->recheck(root);
        if (!self->unavailable_.empty()) return G_SOURCE_CONTINUE;
        self->checkSource_ = 0;
        return G_SOURCE_REMOVE;
      },
      this);
}

void AutomaticSnapshots::dropWatches(const std::string& root) {
  for (auto it = watches_.begin(); it != watches_.end();) {
    if (it->second.first == root) {
      ::inotify_rm_watch(inotify_.get(), it->first);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

void AutomaticSnapshots::dropWatchesBelow(const std::string& folder) {
  const std::string below = folder + "/";
  for (auto it = watches_.begin(); it != watches_.end();) {
    const std::string& watched = it->second.second;
    if (watched == folder || watched.compare(0, below.size(), below) == 0) {
      ::inotify_rm_watch(inotify_.get(), it->first);
      it = watches_.erase(it);
    } else {
      ++it;
    }
  }
}

void AutomaticSnapshots::mountsChanged() {
  const std::set<std::string> followed = followed_;
  for (const std::string& root : followed) {
    const auto device = devices_.find(root);
    if (unavailable_.count(root) != 0 || device == devices_.end() ||
        device->second != deviceOf(root)) {
      recheck(root);
    }
  }
}

}  // namespace tarvine::app
