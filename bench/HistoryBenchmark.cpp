// The history window's query: the versions of one file across 1,000
// snapshots of a 10,000-file folder, as the first screen (what the window
// shows first) and in full. The window's target is 200 ms for the first screen.
// And the folder's deleted files, found across those snapshots (one file in
// ten snapshots was deleted).

#include <benchmark/benchmark.h>
#include <git2.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "roots/Keeper.h"
#include "window/HistoryModel.h"

namespace tarvine::window {
namespace {

using roots::Container;
using roots::Keeper;

namespace fs = std::filesystem;

constexpr int kFiles = 10'000;
constexpr int kSnapshots = 1'000;
// Every kDeletedEvery-th snapshot deletes a file, from the folder too.
constexpr int kDeletedEvery = 10;

// A watched folder whose history has kSnapshots snapshots, each changing the
// file the window shows and one other; made once, and removed at exit.
struct Fixture {
  fs::path home = fs::temp_directory_path() / "tarvine-history-query-bench";
  std::string root = (home / "root").string();
  std::string target = root + "/d00/e0/shown.txt";
  std::unique_ptr<Keeper> keeper;

  Fixture() {
    fs::remove_all(home);
    for (int i = 0; i < kFiles; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "/d%02d/e%d/f%05d.txt", i % 50, i % 7, i);
      fs::create_directories(fs::path(root + name).parent_path());
      std::ofstream(root + name) << "file " << i << "\n";
    }
    std::ofstream(target) << "version 0\n";
    keeper = std::make_unique<Keeper>(Container((home / "container").string()));
    if (!keeper->watch(root, RootMode::manual).ok()) throw std::runtime_error("cannot watch");
    // The other snapshots are written straight into the repository: snapshotting
    // 10,000 files a thousand times would measure the snapshots, not the query.
    HistoryModel model(*keeper, target);
    const std::string repository = model.load(1)->repository;
    git_libgit2_init();
    git_repository* git = nullptr;
    git_repository_open_bare(&git, repository.c_str());
    git_signature* signature = nullptr;
    git_signature_now(&signature, "Tarvine", "tarvine@localhost");
    for (int i = 1; i < kSnapshots; ++i) {
      git_reference* head = nullptr;
      git_repository_head(&head, git);
      git_commit* parent = nullptr;
      git_commit_lookup(&parent, git, git_reference_target(head));
      git_tree* tree = nullptr;
      git_commit_tree(&tree, parent);
      const std::string shown = "version " + std::to_string(i) + "\n";
      const std::string other = "changed " + std::to_string(i) + "\n";
      char otherPath[64];
      std::snprintf(otherPath, sizeof otherPath, "d%02d/e%d/f%05d.txt", (i * 7) % 50, i % 7,
                    (i * 7919) % kFiles);
      git_oid shownBlob, otherBlob, newTree, commit;
      git_blob_create_from_buffer(&shownBlob, git, shown.data(), shown.size());
      git_blob_create_from_buffer(&otherBlob, git, other.data(), other.size());
      // A file of the folder deleted, where it is laid out (its index's folders).
      const int gone = (i * 37 + 5) % kFiles;
      char gonePath[64];
      std::snprintf(gonePath, sizeof gonePath, "d%02d/e%d/f%05d.txt", gone % 50, gone % 7, gone);
      const bool deleting = i % kDeletedEvery == 0;
      if (deleting) fs::remove(root + "/" + gonePath);
      git_tree_update removal = {GIT_TREE_UPDATE_REMOVE, {}, GIT_FILEMODE_BLOB, gonePath};
      git_tree_update updates[] = {
          {GIT_TREE_UPDATE_UPSERT, shownBlob, GIT_FILEMODE_BLOB, "d00/e0/shown.txt"},
          {GIT_TREE_UPDATE_UPSERT, otherBlob, GIT_FILEMODE_BLOB, otherPath},
          removal};
      git_tree_create_updated(&newTree, git, tree, deleting ? 3 : 2, updates);
      git_tree* made = nullptr;
      git_tree_lookup(&made, git, &newTree);
      const git_commit* parents[] = {parent};
      git_commit_create(&commit, git, "HEAD", signature, signature, nullptr,
                        "automatic snapshot\n\nTarvine-Reason: automatic\n", made, 1, parents);
      git_tree_free(made);
      git_tree_free(tree);
      git_commit_free(parent);
      git_reference_free(head);
    }
    git_signature_free(signature);
    git_repository_free(git);
  }
  ~Fixture() { fs::remove_all(home); }
};

Fixture& fixture() {
  static Fixture made;
  return made;
}

// What the window asks for first, rows described and the file hashed.
void FirstScreen(benchmark::State& state) {
  HistoryModel model(*fixture().keeper, fixture().target);
  for (auto _ : state) {
    auto listing = model.load(50);
    if (!listing.ok() || listing->rows.size() != 50) state.SkipWithError("wrong listing");
    benchmark::DoNotOptimize(listing);
  }
}

void AllVersions(benchmark::State& state) {
  HistoryModel model(*fixture().keeper, fixture().target);
  for (auto _ : state) {
    auto listing = model.load();
    if (!listing.ok() || listing->rows.size() != kSnapshots) state.SkipWithError("wrong listing");
    benchmark::DoNotOptimize(listing);
  }
}

// The folder's deleted files, as the window's Deleted Files asks for them:
// each snapshot against the one before, by tree id, and the newest against
// the folder.
void DeletedFiles(benchmark::State& state) {
  HistoryModel model(*fixture().keeper, fixture().root);
  for (auto _ : state) {
    auto deleted = model.deletedFiles();
    // (With the files the snapshots changed that the folder does not have,
    // which were written into the history alone.)
    if (!deleted.ok() || deleted->size() < (kSnapshots - 1) / kDeletedEvery) {
      state.SkipWithError("wrong deleted files");
    }
    state.counters["files"] = static_cast<double>(deleted.ok() ? deleted->size() : 0);
    benchmark::DoNotOptimize(deleted);
  }
}

BENCHMARK(FirstScreen)->Unit(benchmark::kMillisecond);
BENCHMARK(DeletedFiles)->Unit(benchmark::kMillisecond);
BENCHMARK(AllVersions)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarvine::window

BENCHMARK_MAIN();
