// Benchmarks of the extension's hot paths, each beside the floor it is compared
// with: one stat of the manifest, a plain byte-prefix scan over the root paths
// already in memory, and a plain durable write. scripts/bench.sh runs them and
// reports the ratios.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "extension/FinderSync.h"
#include "platform/linux/LibuuidGenerator.h"
#include "platform/linux/SystemClock.h"
#include "tests/support/FakeServices.h"
#include "tests/support/NautilusDoubles.h"
#include "tests/support/PrivateBus.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;

// Where the manifests live: $TARVINE_BENCH_DATA, so that scripts/bench.sh can
// time Python's json.loads on the very same files.
const std::string& dataHome() {
  static const std::string home = [] {
    const char* given = std::getenv("TARVINE_BENCH_DATA");
    std::string path =
        given != nullptr ? given : (fs::temp_directory_path() / "tarvine-bench").string();
    fs::create_directories(path);
    return fs::canonical(path).string();
  }();
  return home;
}

std::string groupFor(int roots) { return "bench-" + std::to_string(roots); }
std::string rootPath(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/w/folder-%06d", i);
  return dataHome() + name;
}

// The main application is running; nothing is recorded, so that the figures
// hold only what the extension itself does.
class RunningApplication : public Workspace {
 public:
  bool isApplicationRunning(std::string_view) override { return true; }
  void openApplication(const FileURL&, bool) override {}
};

// A world of `roots` watched folders: the manifest on disk, the last root's
// folder real (so that link resolution walks real directories), and an
// extension object over the real file system with doubles for the rest.
struct World {
  explicit World(int roots) : env(dataHome()) {
    env.bundle.info["QuillfenAppGroup"] = PropertyListValue{groupFor(roots)};
    env.bundle.images["BrandGlyph"] = NamedImage{"BrandGlyph", 33, 32};
    const std::string container = dataHome() + "/" + groupFor(roots);
    manifestPath = container + "/roots.json";
    if (!fs::exists(manifestPath)) {
      WatchedRootsManifest manifest{1, Timestamp::fromUnix(1'741'944'413), {}};
      for (int i = 0; i < roots; ++i) {
        manifest.roots.push_back({rootPath(i), i % 7 == 0, i % 5 == 0 ? "manual" : "automatic"});
      }
      fs::create_directories(container);
      if (!env.posix
               .writeFileAtomically(FileURL::fromPath(manifestPath, false),
                                    manifest.encode().value())
               .ok()) {
        std::abort();
      }
    }
    fs::create_directories(rootPath(roots - 1) + "/sub");
    fs::create_directories(dataHome() + "/outside/sub");
    inside = FileURL::fromPath(rootPath(roots - 1) + "/sub", true);
    outside = FileURL::fromPath(dataHome() + "/outside/sub", true);
    identifiers = std::make_unique<Identifiers>(env.bundle, env.posix);
    services.emplace(env.services());
    // The real file system straight, without the test wrapper in between.
    Services direct{services->host,      services->mainBundle, env.posix,       services->workspace,
                    services->bookmarks, services->log,        services->clock, services->uuids};
    extension = std::make_unique<FinderSync>(direct, *identifiers);
  }

  testing::FakeServices env;
  RunningApplication workspace;
  std::string manifestPath;
  FileURL inside = FileURL::fromPath("/", true);
  FileURL outside = FileURL::fromPath("/", true);
  std::unique_ptr<Identifiers> identifiers;
  std::optional<Services> services;
  std::unique_ptr<FinderSync> extension;
};

World& world(int roots) {
  static std::map<int, std::unique_ptr<World>> worlds;
  auto& slot = worlds[roots];
  if (!slot) slot = std::make_unique<World>(roots);
  return *slot;
}

void MenuCacheHit(benchmark::State& state) {
  World& w = world(static_cast<int>(state.range(0)));
  w.env.host.selection = std::vector<FileURL>{state.range(1) ? w.inside : w.outside};
  const MenuKind kind = MenuKind::contextualMenuForItems;
  if (w.extension->menuForMenuKind(kind).items.size() != 1) state.SkipWithError("no menu");
  for (auto _ : state) benchmark::DoNotOptimize(w.extension->menuForMenuKind(kind));
}

void MatchTarget(benchmark::State& state) {
  World& w = world(static_cast<int>(state.range(0)));
  ManifestLoader loader(*w.identifiers, w.env.posix);
  auto loaded = loader.loadPreparedManifest();
  const FileURL& target = state.range(1) ? w.inside : w.outside;
  for (auto _ : state) {
    benchmark::DoNotOptimize(matchTarget(target, loaded->manifest, loaded->index, w.env.posix));
  }
}

// Every call misses: with no date the cache is never served.
void LoadManifestMiss(benchmark::State& state) {
  World& w = world(static_cast<int>(state.range(0)));
  testing::FaultInjectingFileSystem undated(w.env.posix);
  undated.faults.failDate = true;
  Identifiers ids(w.env.bundle, undated);
  ManifestLoader loader(ids, undated);
  for (auto _ : state) benchmark::DoNotOptimize(loader.loadManifest());

  // What the cached manifest keeps in memory, against the file's size.
  ManifestLoader fresh(ids, undated);
  malloc_trim(0);
  const auto before = mallinfo2().uordblks;
  auto kept = fresh.loadPreparedManifest();
  const auto after = mallinfo2().uordblks;
  state.counters["file_bytes"] = static_cast<double>(fs::file_size(w.manifestPath));
  state.counters["cached_bytes"] = static_cast<double>(after - before);
}

// The decoding alone, from bytes already in memory: what Python's json.loads does.
void DecodeManifest(benchmark::State& state) {
  World& w = world(static_cast<int>(state.range(0)));
  auto text = w.env.posix.readFile(FileURL::fromPath(w.manifestPath, false));
  for (auto _ : state) benchmark::DoNotOptimize(WatchedRootsManifest::decode(*text));
}

void SubmitRequest(benchmark::State& state) {
  World& w = world(10);
  fs::create_directories(dataHome() + "/" + groupFor(10));
  LibuuidGenerator uuids;
  SystemClock clock;
  Services real{w.services->host,      w.services->mainBundle, w.env.posix, w.services->workspace,
                w.services->bookmarks, w.services->log,        clock,       uuids};
  FinderSync extension(real, *w.identifiers);
  w.env.host.selection = std::vector<FileURL>{w.inside};
  for (auto _ : state) extension.snapshotNow();
  fs::remove_all(dataHome() + "/" + groupFor(10) + "/requests");
}

// The Nautilus module's menu provider, loaded as Nautilus loads it, asked for
// one selected folder inside the last root while the main application owns
// its bus name: the core's cache-hit menu plus what the host adds.
class NautilusProvider {
 public:
  NautilusProvider() {
    ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
    ::setenv("TARVINE_EXTENSION_BUNDLE", TARVINE_BENCH_APPEX, 1);
    ::setenv("LANGUAGE", "en", 1);
    // The extension serves the user database's home only.
    const passwd* user = ::getpwuid(::getuid());
    base_ = std::string(user != nullptr ? user->pw_dir : "/tmp") + "/.tarvine-bench-" +
            std::to_string(::getpid());
    provider_ = testing::loadNautilusProvider(TARVINE_NAUTILUS_MODULE);
    application_ = bus_.connect();
    g_bus_own_name_on_connection(application_, "com.quillfen.tarvine", G_BUS_NAME_OWNER_FLAGS_NONE,
                                 nullptr, nullptr, nullptr, nullptr);
  }
  ~NautilusProvider() {
    g_object_unref(provider_);
    g_object_unref(application_);
    fs::remove_all(base_);
  }

  // Publishes `roots` roots and returns the folder to select, once the
  // provider answers with a menu for it.
  NautilusFileInfo* prepare(int roots) {
    WatchedRootsManifest manifest{1, Timestamp::fromUnix(1'741'944'413), {}};
    for (int i = 0; i < roots; ++i) {
      manifest.roots.push_back({base_ + rootName(i), i % 7 == 0, "automatic"});
    }
    const std::string container = dataHome() + "/QF7T2K9M4R.com.quillfen.tarvine";
    fs::create_directories(container);
    fs::create_directories(base_ + rootName(roots - 1) + "/sub");
    std::ofstream(container + "/roots.json") << manifest.encode().value();
    NautilusFileInfo* folder = testing::nautilusFileInfo(
        FileURL::fromPath(base_ + rootName(roots - 1) + "/sub", true).toString(), true);
    for (int i = 0; i < 500 && !answers(folder); ++i) {
      g_main_context_iteration(nullptr, FALSE);
      g_usleep(1000);
    }
    return folder;
  }

  GList* fileItems(NautilusFileInfo* folder) {
    GList* files = g_list_append(nullptr, folder);
    GList* items = nautilus_menu_provider_get_file_items(provider_, files);
    g_list_free(files);
    return items;
  }

  bool answers(NautilusFileInfo* folder) {
    GList* items = fileItems(folder);
    if (items == nullptr) return false;
    nautilus_menu_item_list_free(items);
    return true;
  }

 private:
  static std::string rootName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "/w/folder-%06d", i);
    return name;
  }

  testing::PrivateBus bus_;
  std::string base_;
  NautilusMenuProvider* provider_ = nullptr;
  GDBusConnection* application_ = nullptr;
};

// One per process: the module is loaded once, as in Nautilus.
NautilusProvider& nautilusProvider() {
  static NautilusProvider provider;
  return provider;
}

void NautilusFileItems(benchmark::State& state) {
  NautilusProvider& provider = nautilusProvider();
  NautilusFileInfo* folder = provider.prepare(static_cast<int>(state.range(0)));
  if (!provider.answers(folder)) state.SkipWithError("no menu from the provider");
  for (auto _ : state) {
    GList* items = provider.fileItems(folder);
    nautilus_menu_item_list_free(items);
  }
  g_object_unref(folder);
}

// The worst wait of the file manager's interface thread for one click while
// the manifest is being reloaded (`range(0)` 0: a valid 60 MB manifest, 1: the
// same truncated, as if the application died mid-write, 2: 72 MB, over what
// the file manager reads). Before each click the file is touched, so that the
// extension reads it again; the answer must come within the bound every time.
void NautilusClickWhileLoading(benchmark::State& state) {
  NautilusProvider& provider = nautilusProvider();
  static const std::string big = [] {
    WatchedRootsManifest manifest{1, Timestamp::fromUnix(1'741'944'413), {}};
    for (int i = 0; i < 600'000; ++i) {
      manifest.roots.push_back(
          {"/home/someone/some/rather/long/folder/name-" + std::to_string(i), false, "automatic"});
    }
    return manifest.encode().value();
  }();
  NautilusFileInfo* folder = provider.prepare(10);
  const std::string path = dataHome() + "/QF7T2K9M4R.com.quillfen.tarvine/roots.json";
  std::string content = big;
  if (state.range(0) == 1) content.resize(content.size() - 100);
  if (state.range(0) == 2) content.append(std::size_t{13} << 20, ' ');
  std::ofstream(path, std::ios::trunc) << content;
  double worst = 0;
  std::int64_t clock = 1'800'000'000;
  for (auto _ : state) {
    state.PauseTiming();
    timespec times[2] = {{clock, 0}, {clock, 0}};
    ++clock;
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    GList* items = provider.fileItems(folder);
    worst = std::max(
        worst, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                   .count());
    if (items != nullptr) nautilus_menu_item_list_free(items);
  }
  state.counters["worst_ms"] = worst;
  g_object_unref(folder);
}

// Floors.

void FloorStat(benchmark::State& state) {
  World& w = world(10);
  struct stat info {};
  for (auto _ : state) benchmark::DoNotOptimize(::stat(w.manifestPath.c_str(), &info));
}

void FloorPrefixScan(benchmark::State& state) {
  const int roots = static_cast<int>(state.range(0));
  World& w = world(roots);
  std::vector<std::string> paths;
  for (int i = 0; i < roots; ++i) paths.push_back(rootPath(i));
  const std::string target = (state.range(1) ? w.inside : w.outside).path();
  for (auto _ : state) {
    std::size_t found = paths.size();
    for (std::size_t i = 0; i < paths.size(); ++i) {
      const std::string& p = paths[i];
      if (target.size() > p.size() && target.compare(0, p.size(), p) == 0 &&
          target[p.size()] == '/') {
        found = i;
        break;
      }
    }
    benchmark::DoNotOptimize(found);
  }
}

void FloorDurableWrite(benchmark::State& state) {
  const std::string dir = dataHome() + "/floor-writes";
  fs::create_directories(dir);
  const std::string content(200, 'x');
  int n = 0;
  for (auto _ : state) {
    std::string temp = dir + "/.t", final = dir + "/" + std::to_string(n++ % 64) + ".json";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    benchmark::DoNotOptimize(::write(fd, content.data(), content.size()));
    ::fsync(fd);
    ::close(fd);
    ::rename(temp.c_str(), final.c_str());
    int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ::fsync(d);
    ::close(d);
  }
}

// This machine is shared, so its slowest runs say more about its neighbours
// than about the code: the report compares the fastest of several runs.
double fastest(const std::vector<double>& runs) {
  return *std::min_element(runs.begin(), runs.end());
}

void sizes(benchmark::internal::Benchmark* b) {
  for (int roots : {10, 1'000, 10'000, 100'000}) {
    for (int inside : {1, 0}) b->Args({roots, inside});
  }
  b->ArgNames({"roots", "inside"});
}

void manifests(benchmark::internal::Benchmark* b) {
  b->Arg(10)->Arg(1'000)->Arg(10'000)->Arg(100'000)->ArgName("roots")->Unit(
      benchmark::kMillisecond);
}

BENCHMARK(MenuCacheHit)->Apply(sizes)->ComputeStatistics("min", fastest);
BENCHMARK(MatchTarget)->Apply(sizes)->ComputeStatistics("min", fastest);
BENCHMARK(FloorPrefixScan)->Apply(sizes)->ComputeStatistics("min", fastest);
BENCHMARK(LoadManifestMiss)->Apply(manifests)->ComputeStatistics("min", fastest);
BENCHMARK(DecodeManifest)->Apply(manifests)->ComputeStatistics("min", fastest);
BENCHMARK(NautilusFileItems)
    ->Arg(10)
    ->Arg(1'000)
    ->Arg(10'000)
    ->ArgName("roots")
    ->ComputeStatistics("min", fastest);
BENCHMARK(NautilusClickWhileLoading)
    ->ArgName("case")
    ->DenseRange(0, 2)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FloorStat)->ComputeStatistics("min", fastest);
BENCHMARK(SubmitRequest)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
BENCHMARK(FloorDurableWrite)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);

}  // namespace
}  // namespace tarvine

BENCHMARK_MAIN();
