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
    SnapshotOptions options;
    options.changedFolders = std::move(folders);
    auto taken = history->snapshot(Reason::automatic, options);
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

// A folder made or moved in brings a subtree no watch saw: read from that
// subtree alone, as the application asks for it, and nothing of a folder that
// stood there before is kept. A folder moved out is gone.
TEST_F(IncrementalSnapshotTest, AFolderMadeOrMovedInIsReadFromItsSubtreeAlone) {
  using Paths = std::set<std::string>;
  const std::string outside = tmp.path() + "/outside";
  const auto moveIn = [&](const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(root + "/" + to).parent_path());
    fs::rename(from, root + "/" + to);
  };
  const struct {
    const char* what;
    std::function<void()> change;
    Paths folders, whole;
    Paths listed;  // the folders listed, besides the root
    std::size_t filesRead;
    const char* files;  // every file of the snapshot
  } cases[] = {
      {"a deep folder made",
       [&] {
         write("b/new/x/y/z.txt", "z");
         write("b/new/x/w.txt", "w");
       },
       {"b"},
       {"b/new"},
       {"b", "b/new", "b/new/x", "b/new/x/y"},
       2,
       "a/one.txt\nb/c/e/deeper.txt\nb/c/two.txt\nb/new/x/w.txt\nb/new/x/y/z.txt\n"
       "b/three.txt\nd/four.txt\ntop.txt\n"},
      {"a deep folder moved in where another of its name was",
       [&] {
         fs::rename(root + "/b/c", outside + "/old-c");
         std::ofstream(outside + "/c/two.txt") << "another two";
         std::ofstream(outside + "/c/e/other.txt") << "other";
         moveIn(outside + "/c", "b/c");
       },
       {"b"},
       {"b/c"},
       {"b", "b/c", "b/c/e"},
       2,
       "a/one.txt\nb/c/e/other.txt\nb/c/two.txt\nb/three.txt\nd/four.txt\ntop.txt\n"},
      {"a folder moved out, and one moved within the root",
       [&] {
         fs::rename(root + "/d", outside + "/d");
         fs::rename(root + "/b/c", root + "/a/c");
       },
       {"", "a", "b"},
       {"a/c"},
       {"a", "a/c", "a/c/e", "b"},
       2,
       "a/c/e/deeper.txt\na/c/two.txt\na/one.txt\nb/three.txt\ntop.txt\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    reopen();
    fs::remove_all(root);
    fs::remove_all(outside);
    fs::create_directories(outside + "/c/e");
    makeTree();
    // Old enough for the cache to vouch for: only what changed is read.
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_FALSE(snap().id.empty());
    c.change();
    ASSERT_NO_FATAL_FAILURE(settle());
    WatchingFolderAccess watching;
    ASSERT_NO_FATAL_FAILURE(reopen(watching));
    SnapshotOptions options;
    options.changedFolders = c.folders;
    options.newFolders = c.whole;
    auto taken = history->snapshot(Reason::automatic, options);
    ASSERT_TRUE(taken.ok()) << taken.status().message();
    EXPECT_FALSE(taken->readWhole);
    EXPECT_EQ(taken->filesRead, c.filesRead);
    const std::string real = fs::canonical(root).string();
    Paths listed{real};
    for (const std::string& folder : c.listed) listed.insert(real + "/" + folder);
    EXPECT_EQ(watching.listed, listed);
    EXPECT_EQ(git("ls-tree -r --name-only " + taken->id), c.files);
    // What was read is what a whole walk finds.
    reopen();
    EXPECT_TRUE(snap().id.empty()) << "a whole walk found more";
  }
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
