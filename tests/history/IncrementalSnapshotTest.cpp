// Snapshots told which folders changed: read from those folders alone, and
// read whole wherever what they were told cannot be relied on.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "history/StatCache.h"
#include "tests/history/StoreFixture.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

// Notes the folders a snapshot looks into: those it lists, and those in
// which it looks at or opens anything, by their paths.
class WatchingFolderAccess : public PosixFolderAccess {
 public:
  std::set<std::string> listed, lookedInto;

  int list(int folder, std::vector<std::string>& names) override {
    listed.insert(pathOf(folder));
    return PosixFolderAccess::list(folder, names);
  }
  int statAt(int at, const std::string& name, struct stat& info) override {
    lookedInto.insert(pathOf(at));
    return PosixFolderAccess::statAt(at, name, info);
  }
  int openFile(int at, const std::string& name) override {
    lookedInto.insert(pathOf(at));
    return PosixFolderAccess::openFile(at, name);
  }
  int openFolder(int at, const std::string& name) override {
    lookedInto.insert(pathOf(at));
    return PosixFolderAccess::openFolder(at, name);
  }

 private:
  static std::string pathOf(int fd) {
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
  }
};

class IncrementalSnapshotTest : public testing::StoreTest {
 protected:
  void settle() { ASSERT_TRUE(testing::settleBelow(root)) << "the file clock did not move"; }
  Snapshot snapChanged(std::set<std::string> folders) {
    auto taken = history->snapshot(Reason::automatic, {std::move(folders)});
    EXPECT_TRUE(taken.ok()) << taken.status().message();
    return taken.ok() ? *taken : Snapshot{};
  }
  void makeTree() {
    write("a/one.txt", "one");
    write("b/c/two.txt", "two");
    write("b/c/e/deeper.txt", "deeper");
    write("b/three.txt", "three");
    write("d/four.txt", "four");
    write("top.txt", "top");
  }
};

TEST_F(IncrementalSnapshotTest, AChangeIsRecordedFromItsFolderAlone) {
  makeTree();
  ASSERT_FALSE(snap().id.empty());
  // One change the watches saw, and one they did not (to show what was read).
  write("b/c/two.txt", "two, changed");
  write("d/four.txt", "four, unseen");
  ASSERT_NO_FATAL_FAILURE(settle());
  WatchingFolderAccess watching;
  ASSERT_NO_FATAL_FAILURE(reopen(watching));
  const Snapshot taken = snapChanged({"b/c"});
  ASSERT_FALSE(taken.id.empty());
  EXPECT_FALSE(taken.readWhole);
  EXPECT_EQ(taken.filesRead, 1u);
  const std::string real = fs::canonical(root).string();
  // The root's own listing tells whether its disk is still there.
  EXPECT_EQ(watching.listed, (std::set<std::string>{real, real + "/b/c"}));
  // The root and b only to find their way to b/c; nothing below b/c/e.
  EXPECT_EQ(watching.lookedInto, (std::set<std::string>{real, real + "/b", real + "/b/c"}));
  EXPECT_EQ(versionOf(taken.id, "b/c/two.txt"), "two, changed");
  EXPECT_EQ(versionOf(taken.id, "b/c/e/deeper.txt"), "deeper");
  EXPECT_EQ(versionOf(taken.id, "d/four.txt"), "four");
  EXPECT_EQ(versionOf(taken.id, "a/one.txt"), "one");

  // A folder new since the last snapshot is read whole, and one that is gone
  // leaves with its parent read again.
  write("b/new/deep/five.txt", "five");
  fs::remove_all(root + "/a");
  ASSERT_NO_FATAL_FAILURE(settle());
  const Snapshot added = snapChanged({"", "b", "b/new"});
  ASSERT_FALSE(added.id.empty());
  EXPECT_EQ(versionOf(added.id, "b/new/deep/five.txt"), "five");
  EXPECT_EQ(git("ls-tree --name-only HEAD"), "b\nd\ntop.txt\n");
  // Nothing seen, nothing recorded; a whole walk finds what the watches missed.
  EXPECT_TRUE(snapChanged({}).id.empty());
  const Snapshot whole = snap();
  EXPECT_TRUE(whole.readWhole);
  EXPECT_EQ(versionOf(whole.id, "d/four.txt"), "four, unseen");
  git("fsck --strict --no-dangling");
}

TEST_F(IncrementalSnapshotTest, WhatTheChangesCannotBeReliedOnForIsReadWhole) {
  const struct {
    const char* what;
    std::function<void()> before;
  } cases[] = {
      {"the cache is lost", [&] { fs::remove(repository + "/" + StatCache::fileName); }},
      {"the ignore rules changed",
       [&] { std::ofstream(history->ignoreFile(), std::ios::app) << "*.nothing\n"; }},
      {"the branch moved without the engine",
       [&] {
         git("update-ref HEAD $(git --git-dir=" + repository +
             " commit-tree -m other -p HEAD HEAD^{tree})");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root);
    makeTree();
    write("top.txt", c.what);
    ASSERT_FALSE(snap().id.empty());
    write("d/four.txt", std::string("unseen while ") + c.what);
    ASSERT_NO_FATAL_FAILURE(settle());
    c.before();
    const Snapshot taken = snapChanged({"b"});
    EXPECT_TRUE(taken.readWhole);
    ASSERT_FALSE(taken.id.empty());
    EXPECT_EQ(versionOf(taken.id, "d/four.txt"), std::string("unseen while ") + c.what);
  }
}

}  // namespace
}  // namespace tarvine::history
