// Snapshots of large trees, measured as the machine is shared: the CPU time
// (user and system) and peak memory of this process, which does nothing
// else. scripts/scale_bench.py runs it beside git's command line.
//
//   tarvine_snapshot_bench make ROOT FILES       a tree of FILES small files,
//                                                50 to a folder
//   tarvine_snapshot_bench snapshot REPO ROOT [FOLDER...]
//       one snapshot; with FOLDERs (paths below ROOT, "." for ROOT itself),
//       as the application takes it when its watches saw those change
//   tarvine_snapshot_bench tidy REPO ROOT        what the application and the
//                                                command line do after one
//
// Prints one line of JSON: cpu_ms, wall_ms, peak_mb, files_read, whole.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "history/History.h"

namespace {

constexpr int kFilesPerFolder = 50;
constexpr int kFoldersPerFolder = 40;

double cpuMilliseconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double peakMegabytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
}

// Folders two deep (d000/e00), each of kFilesPerFolder files of a line or so.
int make(const std::string& root, long files) {
  ::mkdir(root.c_str(), 0755);
  std::string folder;
  for (long i = 0; i < files; ++i) {
    const long index = i / kFilesPerFolder;
    if (i % kFilesPerFolder == 0) {
      char top[32], below[48];
      std::snprintf(top, sizeof top, "/d%04ld", index / kFoldersPerFolder);
      std::snprintf(below, sizeof below, "%s/e%02ld", top, index % kFoldersPerFolder);
      ::mkdir((root + top).c_str(), 0755);
      folder = root + below;
      ::mkdir(folder.c_str(), 0755);
    }
    char name[32];
    std::snprintf(name, sizeof name, "/f%07ld.txt", i);
    const int fd = ::open((folder + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 1;
    const std::string text = "file " + std::to_string(i) + " of a tree of small files\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 1;
    ::close(fd);
  }
  return 0;
}

int snapshot(const std::string& repository, const std::string& root, int argc, char** argv) {
  using namespace tarvine::history;
  const auto wallStart = std::chrono::steady_clock::now();
  const double cpuStart = cpuMilliseconds();
  auto history = History::open(repository, root);
  if (!history.ok()) {
    std::fprintf(stderr, "%s\n", history.status().message().c_str());
    return 1;
  }
  SnapshotOptions options;
  if (argc > 0) {
    options.changedFolders.emplace();
    for (int i = 0; i < argc; ++i) {
      options.changedFolders->insert(std::string(argv[i]) == "." ? "" : argv[i]);
    }
  }
  auto taken = (*history)->snapshot(argc > 0 ? Reason::automatic : Reason::manual, options);
  if (!taken.ok()) {
    std::fprintf(stderr, "%s\n", taken.status().message().c_str());
    return 1;
  }
  history->reset();
  const double cpu = cpuMilliseconds() - cpuStart;
  const double wall =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
          .count();
  std::printf(
      "{\"cpu_ms\": %.1f, \"wall_ms\": %.1f, \"peak_mb\": %.1f, \"files_read\": %zu, "
      "\"whole\": %s}\n",
      cpu, wall, peakMegabytes(), taken->filesRead, taken->readWhole ? "true" : "false");
  return 0;
}

// Packs as a snapshot's quiet moment does (History::tidy).
int tidy(const std::string& repository, const std::string& root) {
  auto history = tarvine::history::History::open(repository, root);
  if (!history.ok()) {
    std::fprintf(stderr, "%s\n", history.status().message().c_str());
    return 1;
  }
  if (tarvine::Status tidied = (*history)->tidy(); !tidied.ok()) {
    std::fprintf(stderr, "%s\n", tidied.message().c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "make" && argc == 4) return make(argv[2], std::atol(argv[3]));
  if (command == "snapshot" && argc >= 4) return snapshot(argv[2], argv[3], argc - 4, argv + 4);
  if (command == "tidy" && argc == 4) return tidy(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: tarvine_snapshot_bench make ROOT FILES\n"
               "       tarvine_snapshot_bench snapshot REPOSITORY ROOT [FOLDER...]\n"
               "       tarvine_snapshot_bench tidy REPOSITORY ROOT\n");
  return 2;
}
