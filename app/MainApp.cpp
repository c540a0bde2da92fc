#include "app/MainApp.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gi18n.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "app/CarryOut.h"
#include "platform/linux/DBusWorkspace.h"
#include "platform/linux/LinuxBookmarks.h"
#include "platform/posix/FileDescriptor.h"
#include "requests/HistoryRequest.h"
#include "roots/Language.h"
#include "roots/Programs.h"
#include "roots/Words.h"
#include "shared/ManifestLoader.h"

namespace tarvine::app {
namespace {

using roots::language::formatted;

// prepareContainer's answer when another instance consumes the container.
constexpr int kHandedOver = -1;
// How long the session bus may take to answer before the application runs
// without one.
constexpr int kBusProbeMs = 1000;
// The spool is swept this often besides its monitor's events, for what a
// monitor can miss.
constexpr unsigned kSweepSeconds = 2;
// How often the roots are looked at for one due to be thinned. Thinning runs
// below the priority of every event, snapshots' included.
constexpr unsigned kThinCheckSeconds = 10 * 60;
// How often the roots' mirrors are looked at for snapshots not pushed yet.
constexpr unsigned kMirrorCheckSeconds = 60;

}  // namespace

MainApp::MainApp(Options options)
    : options_(std::move(options)), fileSystem_(PosixFileSystem::dataHomeFromEnvironment()) {}

MainApp::~MainApp() {
  stopChecking_ = true;
  if (checker_.joinable()) checker_.join();
  mirroring_.reset();
  thinning_.reset();
  automatic_.reset();
  if (manifestMonitor_ != nullptr) g_object_unref(manifestMonitor_);
  if (monitor_ != nullptr) g_object_unref(monitor_);
  if (application_ != nullptr) g_object_unref(application_);
  if (loop_ != nullptr) g_main_loop_unref(loop_);
}

std::string MainApp::printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

// Makes the container and its spool, then becomes the container's one
// consumer before anything in it is written: a second instance must not
// publish over the first one's manifest.
int MainApp::prepareContainer() {
  FileURL container = FileURL::fromPath(PosixFileSystem::dataHomeFromEnvironment(), true)
                          .appendingPathComponent(options_.groupIdentifier, true);
  FileURL spool = container.appendingPathComponent(SpoolReader::spoolDirectoryName, true);
  container_ = container.path();
  spool_ = spool.path();
  if (Status made = fileSystem_.createDirectory(spool); !made.ok()) {
    std::cerr << "tarvine-app: " << printable(made.message()) << "\n";
    return 1;
  }
  Result<SpoolReader> reader = SpoolReader::open(container_);
  if (!reader.ok()) {
    std::cerr << "tarvine-app: " << printable(reader.status().message()) << "\n";
    // Another instance already consumes this container and will see every request.
    return reader.status().errorNumber() == EWOULDBLOCK ? kHandedOver : 1;
  }
  reader_.emplace(std::move(reader).value());
  keeper_.emplace(roots::Container(container_));
  // Said on standard error, which reaches the system's log.
  keeper_->onHealed([this](const roots::Keeper::Healing& healing) {
    std::cerr << "tarvine-app: " + printable(roots::words::healed(healing)) + "\n" << std::flush;
    if (notifications_) notifications_->healed(healing);
  });
  return 0;
}

void MainApp::markRunning() {
  const std::string marker = container_ + "/" + std::string(runningMarkerName);
  const bool unclean = ::access(marker.c_str(), F_OK) == 0;
  // Synced, so that a power cut right after the start is found as well.
  FileDescriptor fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.valid()) ::fsync(fd.get());
  FileDescriptor folder(::open(container_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.valid()) ::fsync(folder.get());
  if (!unclean) return;
  std::cout << "tarvine-app: " << _("the last run did not end cleanly; checking every history")
            << std::endl;
  checked_ = false;
  // Read off the main loop (a check reads every object), and said on it.
  checker_ = std::thread([this] {
    auto checked = keeper_->check(std::nullopt, &stopChecking_);
    auto said = std::make_unique<std::vector<std::pair<bool, std::string>>>();
    if (!checked.ok()) {
      said->emplace_back(false, formatted(_("cannot check the histories: %s"),
                                          checked.status().message().c_str()));
    } else {
      for (const auto& verdict : *checked) {
        for (std::string& line : roots::words::checked(verdict)) {
          said->emplace_back(verdict.intact(), std::move(line));
        }
      }
      checked_ = true;
    }
    g_idle_add_once(
        [](gpointer data) {
          std::unique_ptr<std::vector<std::pair<bool, std::string>>> lines(
              static_cast<std::vector<std::pair<bool, std::string>>*>(data));
          for (const auto& [intact, line] : *lines) {
            (intact ? std::cout : std::cerr) << "tarvine-app: " + printable(line) + "\n"
                                             << std::flush;
          }
        },
        said.release());
  });
}

void MainApp::markStopped() {
  stopChecking_ = true;
  if (checker_.joinable()) checker_.join();
  if (checked_) ::unlink((container_ + "/" + std::string(runningMarkerName)).c_str());
}

bool MainApp::publishManifest() {
  FileURL manifestFile = FileURL::fromPath(container_, true)
                             .appendingPathComponent(ManifestLoader::manifestFileName, false);
  // Launched without folders, as the extension's wake-up does: keep what is published.
  if (options_.roots.empty() && fileSystem_.contentModificationDate(manifestFile)) return true;

  Status written = keeper_->container().publish(options_.roots);
  if (!written.ok()) {
    std::cerr << "tarvine-app: "
              << formatted(_("cannot publish the manifest: %s"),
                           printable(written.message()).c_str())
              << "\n";
    return false;
  }
  return true;
}

void MainApp::activated() {
  if (!started_) {
    started_ = true;
    const std::size_t count = options_.roots.size();
    std::cout << "tarvine-app: "
              << formatted(ngettext("watching %zu folder; manifest %s/roots.json",
                                    "watching %zu folders; manifest %s/roots.json",
                                    static_cast<unsigned long>(count)),
                           count, printable(container_).c_str())
              << std::endl;
    for (const auto& root : options_.roots) {
      std::cout << "tarvine-app:   " << printable(root.path)
                << (root.isPaused ? std::string(" ") + _("(paused)") : "")
                << " mode=" << rawValue(modeOf(root)) << std::endl;
    }
    return;
  }
  std::cout << "tarvine-app: activated" << std::endl;
}

void MainApp::drainSpool() {
  using Kind = SpoolReader::Outcome::Kind;
  reader_->sweep([&](const SpoolReader::Outcome& outcome) {
    const std::string name = printable(outcome.name);
    switch (outcome.kind) {
      case Kind::handled: {
        const HistoryRequest& request = *outcome.request;
        std::string bookmark = "no";
        if (request.bookmark) {
          bookmark = LinuxBookmarks::resolve(*request.bookmark) ? "yes (resolves)" : "yes (stale)";
        }
        std::cout << "tarvine-app: request " << HistoryRequest::rawValue(request.kind) << " "
                  << printable(request.target) << " bookmark=" << bookmark << std::endl;
        if (request.kind == HistoryRequest::Kind::showHistory && showWindow(request.target)) break;
        for (const std::string& line : carryOut(*keeper_, request)) {
          std::cout << "tarvine-app: " << printable(line) << std::endl;
        }
        break;
      }
      case Kind::unremovable:
        std::cout << "tarvine-app: "
                  << formatted(_("cannot remove %s (%s); it will not be handled again"),
                               name.c_str(), outcome.detail.c_str())
                  << std::endl;
        break;
      case Kind::setAside:
        std::cout << "tarvine-app: "
                  << formatted(_("rejected %s: %s"), name.c_str(),
                               printable(outcome.detail).c_str())
                  << std::endl;
        break;
      case Kind::temporaryRemoved:
        std::cout << "tarvine-app: "
                  << formatted(_("removed the abandoned temporary file %s"), name.c_str())
                  << std::endl;
        break;
      case Kind::spoolRefused:
        std::cout << "tarvine-app: "
                  << formatted(_("refusing the spool %s: not a real directory (%s)"),
                               printable(spool_).c_str(), outcome.detail.c_str())
                  << std::endl;
        break;
    }
  });
}

bool MainApp::showWindow(const std::string& target) {
  // Without a display there is no window to show: the versions are listed instead.
  if (g_getenv("DISPLAY") == nullptr && g_getenv("WAYLAND_DISPLAY") == nullptr) return false;
  const std::string program = roots::historyWindowProgram();
  if (program.empty()) return false;
  const std::string path = roots::withoutTrailingSlash(target);
  const char* argv[] = {program.c_str(), "--group", options_.groupIdentifier.c_str(), path.c_str(),
                        nullptr};
  GError* failure = nullptr;
  if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                     nullptr, &failure)) {
    std::cout << "tarvine-app: "
              << formatted(
                     _("cannot show the history window: %s"),
                     printable(failure != nullptr ? failure->message : _("unknown error")).c_str())
              << std::endl;
    g_clear_error(&failure);
    return false;
  }
  std::cout << "tarvine-app: " << formatted(_("showing the history of %s"), printable(path).c_str())
            << std::endl;
  return true;
}

bool MainApp::showMainWindow(const std::string& folder) {
  if (g_getenv("DISPLAY") == nullptr && g_getenv("WAYLAND_DISPLAY") == nullptr) {
    std::cout << "tarvine-app: " << _("cannot show the Tarvine window: no display") << std::endl;
    return false;
  }
  const std::string program = roots::mainWindowProgram();
  if (program.empty()) {
    std::cout << "tarvine-app: "
              << _("cannot show the Tarvine window: tarvine-window is not installed") << std::endl;
    return false;
  }
  const std::string selected = roots::withoutTrailingSlash(folder);
  const char* argv[] = {program.c_str(), "--group", options_.groupIdentifier.c_str(),
                        folder.empty() ? nullptr : selected.c_str(), nullptr};
  GError* failure = nullptr;
  if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                     nullptr, &failure)) {
    std::cout << "tarvine-app: "
              << formatted(
                     _("cannot show the Tarvine window: %s"),
                     printable(failure != nullptr ? failure->message : _("unknown error")).c_str())
              << std::endl;
    g_clear_error(&failure);
    return false;
  }
  std::cout << "tarvine-app: " << _("showing the Tarvine window") << std::endl;
  return true;
}

void MainApp::watchSpool() {
  GFile* spool = g_file_new_for_path(spool_.c_str());
  monitor_ = g_file_monitor_directory(spool, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  g_object_unref(spool);
  if (monitor_ != nullptr) {
    g_signal_connect(monitor_, "changed",
                     G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent,
                                    gpointer self) { static_cast<MainApp*>(self)->drainSpool(); }),
                     this);
  }
  // Requests that arrived while nobody was looking, and a slow safety sweep.
  g_idle_add_once([](gpointer self) { static_cast<MainApp*>(self)->drainSpool(); }, this);
  g_timeout_add_seconds(
      kSweepSeconds,
      [](gpointer self) -> gboolean {
        static_cast<MainApp*>(self)->drainSpool();
        return G_SOURCE_CONTINUE;
      },
      this);
}

void MainApp::followRoots() {
  automatic_.emplace(*keeper_, options_.quiet, [](const std::string& line) {
    std::cout << "tarvine-app: " << printable(line) << std::endl;
  });
  auto follow = [](MainApp* self) {
    auto roots = self->keeper_->container().roots();
    if (roots.ok()) self->automatic_->follow(*roots);
  };
  follow(this);
  GFile* container = g_file_new_for_path(container_.c_str());
  manifestMonitor_ =
      g_file_monitor_directory(container, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  g_object_unref(container);
  if (manifestMonitor_ == nullptr) return;
  g_signal_connect(
      manifestMonitor_, "changed",
      G_CALLBACK(+[](GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent, gpointer self) {
        // The manifest is replaced by a rename: it is the new name that counts.
        for (GFile* named : {file, other}) {
          if (named == nullptr) continue;
          char* name = g_file_get_basename(named);
          const bool manifest =
              name != nullptr && std::string_view(name) == ManifestLoader::manifestFileName;
          g_free(name);
          if (manifest) {
            auto* app = static_cast<MainApp*>(self);
            auto roots = app->keeper_->container().roots();
            if (roots.ok()) app->automatic_->follow(*roots);
            return;
          }
        }
      }),
      this);
}

void MainApp::thinWhenQuiet() {
  thinning_.emplace(
      *keeper_,
      QuietThinning::Setting{std::chrono::seconds(kThinCheckSeconds),
                             [] { return static_cast<std::int64_t>(std::time(nullptr)); },
                             [this](const std::string& root) { return automatic_->pending(root); },
                             [this](const std::string& root, const QuietThinning::Answer& thinned) {
                               sayThinned(root, thinned);
                             }});
}

void MainApp::mirrorWhenQuiet() {
  mirroring_.emplace(
      *keeper_,
      QuietMirrors::Setting{
          std::chrono::seconds(kMirrorCheckSeconds),
          [] { return static_cast<std::int64_t>(std::time(nullptr)); },
          [this](const std::string& root) { return automatic_->pending(root); },
          [&](const std::string& root, const std::string& url, const Status& status, int failures) {
            // Only `this` is used: it outlives mirroring_.
            if (notifications_) notifications_->mirrorPushed(root, url, status, failures);
            if (status.ok()) return;
            std::cout << "tarvine-app: "
                      << printable(formatted(
                             ngettext("cannot push %s to its mirror %s (%d time in a row): %s",
                                      "cannot push %s to its mirror %s (%d times in a row): %s",
                                      static_cast<unsigned long>(failures)),
                             root.c_str(), url.c_str(), failures, status.message().c_str()))
                      << std::endl;
          },
          [this](const QuietMirrors::Setting::Mirrors& failures) {
            if (notifications_) notifications_->mirrorsListed(failures);
          }});
}

void MainApp::sayThinned(const std::string& root, const QuietThinning::Answer& thinned) {
  const auto say = [](const std::string& line) {
    std::cout << "tarvine-app: " << printable(line) << std::endl;
  };
  if (!thinned.ok()) {
    // A root that is not there now, or no longer watched, is thinned later.
    const Status::Kind kind = thinned.status().kind();
    if (kind != Status::Kind::unavailable && kind != Status::Kind::notWatched) {
      say(formatted(_("cannot thin the history of %s: %s"), root.c_str(),
                    thinned.status().message().c_str()));
    }
  } else if (*thinned && !(*thinned)->thinned.dropped.empty()) {
    // The summary, not each version dropped.
    for (const std::string& line : roots::words::thinned(**thinned, /*eachVersion=*/false)) {
      say(line);
    }
  }
}

int MainApp::run(const char* programName) {
  if (!g_application_id_is_valid(options_.applicationId.c_str())) {
    std::cerr << "tarvine-app: "
              << formatted(_("not a valid application id: %s"),
                           printable(options_.applicationId).c_str())
              << "\n";
    return 2;
  }
  // GApplication's registration waits on the bus without a limit; a bus that
  // is missing, refuses or never answers is found out here, within a bound.
  const bool busAnswers = DBusWorkspace(kBusProbeMs).busAnswers();
  if (busAnswers) {
    application_ = g_application_new(options_.applicationId.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    GError* failure = nullptr;
    if (!g_application_register(application_, nullptr, &failure)) {
      std::cerr << "tarvine-app: "
                << formatted(_("cannot register on the session bus: %s"),
                             printable(failure ? failure->message : _("unknown error")).c_str())
                << "\n";
      g_clear_error(&failure);
      return 1;
    }
    if (g_application_get_is_remote(application_)) {
      // Started by the desktop entry while running: the window is started
      // from here, with the environment of the session that asked for it
      // (its display, its activation token), which the running instance,
      // perhaps started by the bus, may lack.
      if (options_.showWindow) {
        showMainWindow();
        return 0;
      }
      g_application_activate(application_);  // the running instance comes to the front
      return 0;
    }
  }
  if (int failed = prepareContainer(); failed != 0) {
    if (failed == kHandedOver && options_.showWindow) showMainWindow();
    return failed == kHandedOver ? 0 : failed;
  }
  if (!busAnswers) {
    std::cout << "tarvine-app: " << _("no session bus answers; running without a bus name")
              << std::endl;
  }
  if (!publishManifest()) return 1;
  if (application_ != nullptr) {
    notifications_.emplace(
        application_, *keeper_, container_,
        [this](const std::string& root) { return showMainWindow(root); },
        [this](const std::string& path) { return showWindow(path); });
  }
  markRunning();
  watchSpool();
  followRoots();
  thinWhenQuiet();
  mirrorWhenQuiet();
  if (options_.showWindow) showMainWindow();

  if (application_ != nullptr) {
    g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                       static_cast<MainApp*>(self)->activated();
                     }),
                     this);
  } else {
    loop_ = g_main_loop_new(nullptr, FALSE);
    activated();
  }
  for (int signal : {SIGINT, SIGTERM}) {
    g_unix_signal_add(
        signal,
        [](gpointer self) -> gboolean {
          auto* app = static_cast<MainApp*>(self);
          if (app->application_ != nullptr) g_application_quit(app->application_);
          if (app->loop_ != nullptr) g_main_loop_quit(app->loop_);
          return G_SOURCE_REMOVE;
        },
        this);
  }
  if (loop_ != nullptr) {
    g_main_loop_run(loop_);
    markStopped();
    return 0;
  }
  g_application_hold(application_);
  char* argv[] = {const_cast<char*>(programName), nullptr};
  const int status = g_application_run(application_, 1, argv);
  markStopped();
  return status;
}

}  // namespace tarvine::app
