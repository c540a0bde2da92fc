#include "tools/main-app/StandInApp.h"

#include <dirent.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "foundation/Iso8601.h"
#include "platform/linux/LinuxBookmarks.h"
#include "platform/linux/SystemClock.h"
#include "requests/HistoryRequest.h"

namespace tarvine {
namespace {

bool isRequestName(const std::string& name) {
  constexpr std::string_view kSuffix = ".json";
  return name.size() > kSuffix.size() && name.front() != '.' &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

}  // namespace

StandInApp::StandInApp(Options options)
    : options_(std::move(options)), fileSystem_(PosixFileSystem::dataHomeFromEnvironment()) {}

StandInApp::~StandInApp() {
  if (monitor_ != nullptr) g_object_unref(monitor_);
  if (application_ != nullptr) g_object_unref(application_);
}

bool StandInApp::prepareContainer() {
  FileURL container = FileURL::fromPath(PosixFileSystem::dataHomeFromEnvironment(), true)
                          .appendingPathComponent(options_.groupIdentifier, true);
  FileURL spool = container.appendingPathComponent("requests", true);
  container_ = container.path();
  spool_ = spool.path();
  if (Status made = fileSystem_.createDirectory(spool); !made.ok()) {
    std::cerr << "tarvine-app: " << made.message() << "\n";
    return false;
  }
  FileURL manifestFile = container.appendingPathComponent("roots.json", false);
  // Launched without folders, as the extension's wake-up does: keep what is published.
  if (options_.roots.empty() && fileSystem_.contentModificationDate(manifestFile)) return true;

  SystemClock clock;
  WatchedRootsManifest manifest{1, Timestamp::fromUnix(clock.now().seconds()), options_.roots};
  Result<std::string> text = manifest.encode();
  Status written = text.ok() ? fileSystem_.writeFileAtomically(manifestFile, *text) : text.status();
  if (!written.ok()) {
    std::cerr << "tarvine-app: cannot publish the manifest: " << written.message() << "\n";
    return false;
  }
  return true;
}

void StandInApp::activated() {
  if (!started_) {
    started_ = true;
    std::cout << "tarvine-app: watching " << options_.roots.size() << " folder(s); manifest "
              << container_ << "/roots.json" << std::endl;
    for (const auto& root : options_.roots) {
      std::cout << "tarvine-app:   " << root.path << (root.isPaused ? " (paused)" : "")
                << " mode=" << root.mode.value_or("automatic") << std::endl;
    }
    return;
  }
  std::cout << "tarvine-app: activated" << std::endl;
}

void StandInApp::drainSpool() {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(spool_.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      if (isRequestName(entry->d_name)) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = spool_ + "/" + name;
    Result<std::string> content = fileSystem_.readFile(FileURL::fromPath(path, false));
    if (!content.ok()) continue;  // taken away already, or not a regular file
    Result<HistoryRequest> request = HistoryRequest::decode(*content);
    if (!request.ok()) {
      std::cout << "tarvine-app: rejected " << name << ": " << request.status().message()
                << std::endl;
      // Kept aside rather than lost, under a name that is not read again.
      ::rename(path.c_str(), (path + ".rejected").c_str());
      continue;
    }
    std::string bookmark = "no";
    if (request->bookmark) {
      bookmark = LinuxBookmarks::resolve(*request->bookmark) ? "yes (resolves)" : "yes (stale)";
    }
    std::cout << "tarvine-app: request " << HistoryRequest::rawValue(request->kind) << " "
              << request->target << " bookmark=" << bookmark << std::endl;
    ::unlink(path.c_str());
  }
}

int StandInApp::run(const char* programName) {
  if (!g_application_id_is_valid(options_.applicationId.c_str())) {
    std::cerr << "tarvine-app: not a valid application id: " << options_.applicationId << "\n";
    return 2;
  }
  application_ = g_application_new(options_.applicationId.c_str(), G_APPLICATION_DEFAULT_FLAGS);
  GError* failure = nullptr;
  if (!g_application_register(application_, nullptr, &failure)) {
    std::cerr << "tarvine-app: cannot register on the session bus: "
              << (failure ? failure->message : "unknown error") << "\n";
    g_clear_error(&failure);
    return 1;
  }
  if (g_application_get_is_remote(application_)) {
    g_application_activate(application_);  // the running instance comes to the front
    return 0;
  }
  if (!prepareContainer()) return 1;

  g_signal_connect(application_, "activate", G_CALLBACK(+[](GApplication*, gpointer self) {
                     static_cast<StandInApp*>(self)->activated();
                   }),
                   this);
  GFile* spool = g_file_new_for_path(spool_.c_str());
  monitor_ = g_file_monitor_directory(spool, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  g_object_unref(spool);
  if (monitor_ != nullptr) {
    g_signal_connect(
        monitor_, "changed",
        G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self) {
          static_cast<StandInApp*>(self)->drainSpool();
        }),
        this);
  }
  // Requests that arrived while nobody was looking, and a slow safety sweep.
  g_idle_add_once([](gpointer self) { static_cast<StandInApp*>(self)->drainSpool(); }, this);
  g_timeout_add_seconds(
      2,
      [](gpointer self) -> gboolean {
        static_cast<StandInApp*>(self)->drainSpool();
        return G_SOURCE_CONTINUE;
      },
      this);
  for (int signal : {SIGINT, SIGTERM}) {
    g_unix_signal_add(
        signal,
        [](gpointer app) -> gboolean {
          g_application_quit(G_APPLICATION(app));
          return G_SOURCE_REMOVE;
        },
        application_);
  }
  g_application_hold(application_);
  char* argv[] = {const_cast<char*>(programName), nullptr};
  return g_application_run(application_, 1, argv);
}

}  // namespace tarvine
