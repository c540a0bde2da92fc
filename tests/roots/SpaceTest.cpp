// Space a user can see and give back: what `roots` says of each history,
// the histories of folders no longer watched, deleting one (even when killed
// midway), and a watched folder that moved keeping its history.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "roots/Keeper.h"
#include "tests/support/TempDir.h"

namespace tarvine::roots {
namespace {

namespace fs = std::filesystem;
using Kind = Status::Kind;

// What `du` (an independent count of the same blocks) says a folder takes.
std::uint64_t du(const std::string& folder) {
  const std::string command = "du -s -B1 '" + folder + "' 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  unsigned long long bytes = 0;
  if (pipe == nullptr) return 0;
  if (std::fscanf(pipe, "%llu", &bytes) != 1) bytes = 0;
  ::pclose(pipe);
  return bytes;
}

class SpaceTest : public ::testing::Test {
 protected:
  SpaceTest() : keeper(Container(tmp.file("container"))) {}

  std::string folder(const std::string& name, const std::map<std::string, std::string>& files) {
    for (const auto& [path, text] : files) tmp.write(name + "/" + path, text);
    fs::create_directories(tmp.file(name));
    return tmp.file(name);
  }
  // A watched folder and its first snapshot, then one more for each edit.
  std::string watched(const std::string& name, int edits = 0) {
    const std::string root = folder(name, {{"a.txt", "one"}, {"sub/b.txt", "two"}});
    EXPECT_TRUE(keeper.watch(root, RootMode::manual).ok());
    for (int edit = 0; edit < edits; ++edit) {
      tmp.write(name + "/a.txt", "edit " + std::to_string(edit));
      auto taken = keeper.snapshot(root, history::Reason::manual);
      EXPECT_TRUE(taken.ok() && !taken->snapshot.id.empty()) << name;
    }
    return root;
  }
  std::vector<Root> roots() {
    auto roots = keeper.roots();
    EXPECT_TRUE(roots.ok());
    return roots.ok() ? *roots : std::vector<Root>{};
  }
  std::vector<std::string> orphanFolders() {
    auto orphans = keeper.orphans();
    EXPECT_TRUE(orphans.ok());
    std::vector<std::string> folders;
    for (const auto& orphan : orphans.value()) folders.push_back(orphan.folder);
    return folders;
  }
  std::size_t versionsOf(const std::string& root) {
    auto listing = keeper.versions(root);
    return listing.ok() ? listing->versions.size() : 0;
  }
  // Every history left in the container reads whole, as `git fsck` does.
  void expectEveryHistoryIntact() {
    auto stores = keeper.container().stores();
    ASSERT_TRUE(stores.ok());
    for (const auto& stored : *stores) {
      auto history =
          history::History::open(stored.store, stored.root, history::PosixFolderAccess::shared(),
                                 history::History::Opening::checking);
      ASSERT_TRUE(history.ok()) << stored.store << ": " << history.status().message();
      auto checked = (*history)->check();
      ASSERT_TRUE(checked.ok()) << stored.store << ": " << checked.status().message();
      EXPECT_TRUE(checked->intact()) << stored.store << ": " << checked->problems.front();
      EXPECT_GT(checked->snapshots, 0u) << stored.store;
    }
  }
  std::vector<std::string> asideLeft() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(tmp.file("container/history"))) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(Container::removingPrefix)) names.push_back(name);
    }
    return names;
  }

  testing::TempDir tmp;
  Keeper keeper;
};

TEST_F(SpaceTest, EachRootIsListedWithItsStateVersionsDatesAndSpace) {
  const std::string busy = watched("busy", 1);
  // Whole seconds apart, so that the oldest and the newest cannot be mistaken.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  tmp.write("busy/a.txt", "the newest");
  ASSERT_TRUE(keeper.snapshot(busy, history::Reason::manual).ok());
  const std::string paused = watched("paused");
  ASSERT_TRUE(keeper.pause(paused).ok());
  const std::string gone = watched("gone", 1);
  fs::remove_all(gone);
  // Watched, but never snapshotted: its first snapshot failed to take place.
  const std::string fresh = folder("fresh", {});
  ASSERT_TRUE(keeper.container()
                  .publish({{busy, false, "manual"},
                            {paused, true, "manual"},
                            {gone, false, "automatic"},
                            {fresh, false, "automatic"}})
                  .ok());

  auto space = keeper.space();
  ASSERT_TRUE(space.ok()) << space.status().message();
  std::map<std::string, Keeper::Spanned> by;
  for (const auto& spanned : *space) by.emplace(spanned.root.path, spanned);
  const struct {
    std::string root;
    Keeper::State state;
    std::size_t versions;
  } cases[] = {
      {busy, Keeper::State::manual, 3},
      {paused, Keeper::State::paused, 1},
      {gone, Keeper::State::unavailable, 2},  // its history stays listed while it is away
      {fresh, Keeper::State::automatic, 0},
  };
  ASSERT_EQ(by.size(), std::size(cases));
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.root);
    const Keeper::Spanned& got = by.at(expected.root);
    EXPECT_TRUE(got.problem.ok()) << got.problem.message();
    EXPECT_EQ(got.state, expected.state);
    EXPECT_EQ(got.span.snapshots, expected.versions);
    const std::string store = keeper.container().store(expected.root);
    EXPECT_EQ(got.bytes, du(store));
    if (expected.versions == 0) {
      EXPECT_EQ(got.span.oldest, 0);
      EXPECT_EQ(got.span.newest, 0);
      continue;
    }
    EXPECT_GT(got.bytes, 0u);
    // The root's own versions are its snapshots, each of which changed it.
    auto history =
        history::History::open(store, expected.root, history::PosixFolderAccess::shared(),
                               history::History::Opening::checking);
    ASSERT_TRUE(history.ok());
    auto versions = (*history)->versions("");
    ASSERT_TRUE(versions.ok());
    ASSERT_EQ(versions->size(), expected.versions);
    EXPECT_EQ(got.span.newest, versions->front().time);
    EXPECT_EQ(got.span.oldest, versions->back().time);
  }
  EXPECT_LT(by.at(busy).span.oldest, by.at(busy).span.newest);

  // A large file that does not compress shows in the space its history takes.
  std::string noise(1 << 20, '\0');
  std::mt19937 random(27);
  for (char& c : noise) c = static_cast<char>(random());
  tmp.write("busy/noise.bin", noise);
  const std::uint64_t before = by.at(busy).bytes;
  ASSERT_TRUE(keeper.snapshot(busy, history::Reason::manual).ok());
  auto after = keeper.space();
  ASSERT_TRUE(after.ok());
  for (const auto& spanned : *after) {
    if (spanned.root.path == busy) {
      EXPECT_GE(spanned.bytes, before + noise.size());
    }
  }
}

TEST_F(SpaceTest, ForgetDeletesOnlyAHistoryNoLongerWatched) {
  const std::string kept = watched("kept", 1);
  const std::string paused = watched("paused", 1);
  ASSERT_TRUE(keeper.pause(paused).ok());
  const std::string dropped = watched("dropped", 2);
  const std::string other = watched("other", 1);
  ASSERT_TRUE(keeper.unwatch(dropped).ok());
  ASSERT_TRUE(keeper.unwatch(other).ok());
  fs::remove_all(other);  // the folder itself may be long gone
  // What a deletion killed midway left aside goes with the next one.
  tmp.write("container/history/" + std::string(Container::removingPrefix) + "0123.git/HEAD",
            "ref: refs/heads/master\n");

  EXPECT_EQ(orphanFolders(), (std::vector<std::string>{dropped, other}));
  auto orphans = keeper.orphans();
  ASSERT_TRUE(orphans.ok());
  for (const auto& orphan : *orphans) EXPECT_EQ(orphan.bytes, du(orphan.store)) << orphan.folder;

  const struct {
    std::string folder;
    Kind kind;  // ok: deleted
  } cases[] = {
      {kept, Kind::refused},
      {paused, Kind::refused},
      {kept + "/sub", Kind::noHistory},  // inside a root: it has no history of its own
      {tmp.file("never"), Kind::noHistory},
      {dropped, Kind::ok},
      {dropped, Kind::noHistory},  // once is enough
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.folder);
    auto forgotten = keeper.forget(expected.folder);
    EXPECT_EQ(forgotten.ok() ? Kind::ok : forgotten.status().kind(), expected.kind)
        << (forgotten.ok() ? "" : forgotten.status().message());
  }
  EXPECT_FALSE(fs::exists(keeper.container().store(dropped)));
  EXPECT_TRUE(asideLeft().empty());
  EXPECT_EQ(orphanFolders(), (std::vector<std::string>{other}));
  EXPECT_EQ(roots().size(), 2u);
  EXPECT_EQ(versionsOf(kept), 2u);
  EXPECT_EQ(versionsOf(paused), 2u);
  expectEveryHistoryIntact();
  // The folder's name as its history recorded it finds it, though it is gone.
  ASSERT_TRUE(keeper.forget(other).ok());
  EXPECT_TRUE(orphanFolders().empty());
}

TEST_F(SpaceTest, AForgetKilledMidwayLeavesNoBrokenHistory) {
  // Enough loose objects that deleting them takes a while.
  std::map<std::string, std::string> files;
  for (int i = 0; i < 600; ++i)
    files["f" + std::to_string(i % 20) + "/" + std::to_string(i)] = "file " + std::to_string(i);
  bool killedMidway = false;
  // Killed at once when the history is set aside, and a little later.
  for (const int delayMicroseconds : {0, 1000}) {
    SCOPED_TRACE(delayMicroseconds);
    const std::string name = "doomed" + std::to_string(delayMicroseconds);
    const std::string root = folder(name, files);
    ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
    ASSERT_TRUE(keeper.unwatch(root).ok());
    const std::string aside =
        tmp.file("container/history/" + std::string(Container::removingPrefix) +
                 fs::path(keeper.container().store(root)).filename().string());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Keeper forgetting{Container(tmp.file("container"))};
      ::_exit(forgetting.forget(root).ok() ? 0 : 1);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(aside) && fs::exists(keeper.container().store(root)) &&
           std::chrono::steady_clock::now() < deadline) {
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    killedMidway = killedMidway || fs::exists(aside);
    // Either whole where it was, or nowhere a history is looked for.
    expectEveryHistoryIntact();
    EXPECT_TRUE(orphanFolders().empty() || orphanFolders() == std::vector<std::string>{root});
    // The next deletion takes the rest away.
    auto again = keeper.forget(root);
    EXPECT_TRUE(again.ok() || again.status().kind() == Kind::noHistory);
    EXPECT_TRUE(asideLeft().empty());
    EXPECT_TRUE(orphanFolders().empty());
  }
  // Otherwise nothing above was cut short, and it proved nothing.
  EXPECT_TRUE(killedMidway);
}

TEST_F(SpaceTest, AMovedFolderKeepsItsHistoryAndRecordsNoDeletion) {
  const struct {
    std::string how;
    bool copied;  // moved to another file system: new inodes, every file read again
    std::size_t filesRead;
  } cases[] = {{"renamed", false, 0}, {"copied", true, 2}};
  for (const auto& moved : cases) {
    SCOPED_TRACE(moved.how);
    const std::string old = watched("old-" + moved.how, 1);
    // Once its files are older than a snapshot, the stat cache vouches for them.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(keeper.snapshot(old, history::Reason::manual).ok());
    const std::string now = tmp.file("new-" + moved.how);
    if (moved.copied) {
      fs::copy(old, now, fs::copy_options::recursive);
      fs::remove_all(old);
    } else {
      fs::rename(old, now);
    }
    ASSERT_TRUE(keeper.move(old, now).ok());
    std::vector<std::string> paths;
    for (const Root& root : roots()) paths.push_back(root.path);
    EXPECT_NE(std::find(paths.begin(), paths.end(), now), paths.end());
    EXPECT_EQ(std::find(paths.begin(), paths.end(), old), paths.end());
    EXPECT_EQ(versionsOf(now), 2u);
    // Nothing changed: nothing recorded, no deletion, nothing stored again.
    auto taken = keeper.snapshot(now, history::Reason::manual);
    ASSERT_TRUE(taken.ok()) << taken.status().message();
    EXPECT_EQ(taken->snapshot.id, "");
    EXPECT_EQ(taken->snapshot.filesRead, moved.filesRead);
    EXPECT_TRUE(orphanFolders().empty());
    // The history names its new folder.
    EXPECT_EQ(history::History::recordedRoot(keeper.container().store(now)), now);
    // And goes on from where it was.
    tmp.write("new-" + moved.how + "/c.txt", "three");
    auto next = keeper.snapshot(now, history::Reason::manual);
    ASSERT_TRUE(next.ok());
    EXPECT_NE(next->snapshot.id, "");
    auto listing = keeper.versions(now + "/sub/b.txt");
    ASSERT_TRUE(listing.ok());
    ASSERT_EQ(listing->versions.size(), 1u);
    EXPECT_EQ(listing->versions.front().change, history::Version::Change::added);
  }
}

TEST_F(SpaceTest, AMoveCutShortIsTakenUpAgain) {
  const std::string old = watched("old", 1);
  const std::string now = tmp.file("now");
  fs::rename(old, now);
  // Killed after the history was renamed (and told its new folder, or not),
  // before the manifest was published.
  for (const bool recorded : {false, true}) {
    SCOPED_TRACE(recorded);
    const std::string store = keeper.container().store(now);
    fs::rename(keeper.container().store(old), store);
    if (recorded) {
      ASSERT_EQ(
          std::system(
              ("git config --file '" + store + "/config' tarvine.root '" + now + "'").c_str()),
          0);
    }
    ASSERT_EQ(roots().front().path, old);
    ASSERT_TRUE(keeper.move(old, now).ok());
    EXPECT_EQ(roots().front().path, now);
    EXPECT_EQ(versionsOf(now), 2u);
    EXPECT_EQ(history::History::recordedRoot(store), now);
    EXPECT_TRUE(orphanFolders().empty());
    // Back as it was, for the next round.
    ASSERT_TRUE(keeper.container().publish({{old, false, "manual"}}).ok());
    fs::rename(store, keeper.container().store(old));
  }
}

TEST_F(SpaceTest, AMoveThatWouldLoseOrMixHistoriesIsRefused) {
  const std::string moved = watched("moved", 1);
  const std::string outer = watched("outer");
  const std::string still = watched("still");
  fs::rename(moved, tmp.file("moved-there"));
  folder("outer/inside", {});
  folder("around/deeper", {});
  fs::rename(outer, tmp.file("around/deeper/outer"));
  ASSERT_TRUE(keeper.move(outer, tmp.file("around/deeper/outer")).ok());
  const std::string taken = watched("taken");  // a folder with a history of its own
  ASSERT_TRUE(keeper.unwatch(taken).ok());
  const std::vector<Root> before = roots();

  const struct {
    std::string from, to;
    Kind kind;
  } cases[] = {
      {tmp.file("nowhere"), tmp.file("moved-there"), Kind::notWatched},
      {moved, tmp.file("missing"), Kind::notFound},
      {moved, tmp.file("around/deeper/outer/inside"), Kind::refused},
      {moved, tmp.file("around"), Kind::refused},
      {still, tmp.file("moved-there"), Kind::refused},  // still where it was
      {moved, taken, Kind::refused},
  };
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.from + " -> " + expected.to);
    Status refused = keeper.move(expected.from, expected.to);
    EXPECT_EQ(refused.kind(), expected.kind) << refused.message();
  }
  EXPECT_EQ(roots(), before);
  EXPECT_EQ(orphanFolders(), std::vector<std::string>{taken});
  ASSERT_TRUE(keeper.move(moved, tmp.file("moved-there")).ok());
  EXPECT_EQ(versionsOf(tmp.file("moved-there")), 2u);
  EXPECT_EQ(versionsOf(tmp.file("around/deeper/outer")), 1u);
  expectEveryHistoryIntact();
}

}  // namespace
}  // namespace tarvine::roots
