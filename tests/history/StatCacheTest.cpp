// The stat cache: a folder whose files it vouches for keeps its tree, and a
// cache that is damaged or of an earlier version vouches for nothing.

#include "history/StatCache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "tests/history/StoreFixture.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

class StatCacheTest : public testing::StoreTest {
 protected:
  // Waits until every file below the root is older than the clock that
  // stamps files, so that the cache may vouch for all of them.
  void settle() { ASSERT_TRUE(testing::settleBelow(root)) << "the file clock did not move"; }
  std::string cacheFile() const { return repository + "/" + StatCache::fileName; }
  // Each loose object by its id, with its file's modification time.
  std::map<std::string, std::int64_t> looseObjects() {
    std::map<std::string, std::int64_t> found;
    for (const auto& entry : fs::recursive_directory_iterator(repository + "/objects")) {
      const std::string folder = entry.path().parent_path().filename().string();
      if (!entry.is_regular_file() || folder.size() != 2) continue;
      struct stat info {};
      ::stat(entry.path().c_str(), &info);
      found[folder + entry.path().filename().string()] =
          info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec;
    }
    return found;
  }
  std::string id(const std::string& revision) {
    std::string line = git("rev-parse " + revision);
    return line.substr(0, line.find('\n'));
  }
};

TEST_F(StatCacheTest, AnUnchangedFolderKeepsItsTreeAndOnlyTheChangedPathIsWrittenAgain) {
  write("a/b/c/deep.txt", "deep");
  write("a/b/x.txt", "x");
  write("a/y.txt", "y");
  write("top.txt", "top");
  write("other/z.txt", "z");
  fs::create_symlink("top.txt", root + "/link");
  ASSERT_NO_FATAL_FAILURE(settle());
  ASSERT_FALSE(snap().id.empty());
  // Objects dated long ago: whatever a snapshot writes or freshens shows.
  for (const auto& [object, time] : looseObjects()) {
    const std::string path =
        repository + "/objects/" + object.substr(0, 2) + "/" + object.substr(2);
    const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
  }
  const auto aged = looseObjects();
  ASSERT_NO_FATAL_FAILURE(settle());
  const Snapshot same = snap();
  EXPECT_TRUE(same.id.empty());
  EXPECT_EQ(same.filesRead, 0u);
  EXPECT_EQ(looseObjects(), aged) << "an unchanged snapshot wrote or freshened objects";

  write("a/b/c/deep.txt", "deeper");
  ASSERT_NO_FATAL_FAILURE(settle());
  const Snapshot changed = snap();
  ASSERT_FALSE(changed.id.empty());
  EXPECT_EQ(changed.filesRead, 1u);
  std::set<std::string> touched;
  for (const auto& [object, time] : looseObjects()) {
    const auto before = aged.find(object);
    if (before == aged.end() || before->second != time) touched.insert(object);
  }
  // The new file, the four folders that lead to it, and the commit.
  const std::set<std::string> expected = {
      id("HEAD:a/b/c/deep.txt"), id("HEAD:a/b/c"), id("HEAD:a/b"), id("HEAD:a"),
      id("HEAD^{tree}"),         id("HEAD")};
  EXPECT_EQ(touched, expected);
  EXPECT_EQ(versionOf(changed.id, "a/b/c/deep.txt"), "deeper");
  EXPECT_EQ(versionOf(changed.id, "other/z.txt"), "z");
  EXPECT_EQ(git("cat-file -p HEAD:link"), "top.txt");
  git("fsck --strict --no-dangling");
}

TEST_F(StatCacheTest, WhatTheCacheNamesIsLookedForOnceTheHistoryWasRewritten) {
  write("kept.txt", "kept");
  write("sub/pruned.txt", "pruned");
  ASSERT_NO_FATAL_FAILURE(settle());
  ASSERT_FALSE(snap().id.empty());
  // Rewritten from outside (as thinning rewrites the chain) to a snapshot
  // without sub/, and the objects only the old chain held pruned, as a pack
  // after it would.
  const std::string pruned = id("HEAD:sub/pruned.txt");
  const std::string gitDir = "git --git-dir=" + repository;
  git("update-ref HEAD $(" + gitDir + " commit-tree -m thinned $(printf '100644 blob " +
      id("HEAD:kept.txt") + "\\tkept.txt\\n' | " + gitDir + " mktree))");
  fs::remove(repository + "/objects/" + pruned.substr(0, 2) + "/" + pruned.substr(2));
  ASSERT_NO_FATAL_FAILURE(reopen());
  const Snapshot taken = snap();
  ASSERT_FALSE(taken.id.empty());
  EXPECT_EQ(taken.filesRead, 1u);  // the file whose object is gone, and only it
  EXPECT_EQ(versionOf(taken.id, "sub/pruned.txt"), "pruned");
  git("fsck --strict --no-dangling");
}

TEST_F(StatCacheTest, ADamagedOrEarlierCacheMeansEveryFileIsReadAgain) {
  // Damage as a power cut, a disk or a hand can leave it, or an earlier
  // version's file in its place.
  auto bytes = [&] { return read(cacheFile()); };
  auto put = [&](const std::string& content) {
    std::ofstream(cacheFile(), std::ios::binary | std::ios::trunc) << content;
  };
  // One byte of a blob's id in the file's record, changed: a record that
  // passed for whole would vouch for content the file never had.
  auto changeAnId = [&] {
    std::string content = bytes();
    const std::string hexId = id("HEAD:sub/f3.txt");
    std::string raw;
    for (std::size_t i = 0; i < hexId.size(); i += 2) {
      raw += static_cast<char>(std::stoi(hexId.substr(i, 2), nullptr, 16));
    }
    const auto at = content.find(raw);
    ASSERT_NE(at, std::string::npos);
    content[at + 5] = static_cast<char>(content[at + 5] ^ 0x01);
    put(content);
  };
  const struct {
    const char* what;
    std::function<void()> damage;
    bool wholeFolderOnly;  // only the damaged record's folder is read again
  } cases[] = {
      {"missing", [&] { fs::remove(cacheFile()); }, false},
      {"an earlier version's",
       [&] {
         put("\xa3\x65start\x1a\x00\x00\x00\x01\x65"
             "files\xa0");
       },
       false},
      {"emptied", [&] { put(""); }, false},
      {"truncated to its first page", [&] { fs::resize_file(cacheFile(), 4096); }, false},
      {"junk after its header", [&] { put(bytes().substr(0, 100) + std::string(20000, 'J')); },
       false},
      {"a record's id changed", changeAnId, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root);
    for (int i = 0; i < 5; ++i) {
      write("f" + std::to_string(i) + ".txt", std::string(c.what) + std::to_string(i));
      write("sub/f" + std::to_string(i) + ".txt",
            std::string(c.what) + " sub " + std::to_string(i));
    }
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_FALSE(snap().id.empty());
    ASSERT_EQ(snap().filesRead, 0u);
    const std::string tree = id("HEAD^{tree}");
    ASSERT_NO_FATAL_FAILURE(c.damage());
    const Snapshot again = snap();
    EXPECT_TRUE(again.id.empty()) << "the same files made another tree";
    EXPECT_EQ(again.filesRead, c.wholeFolderOnly ? 5u : 10u);
    EXPECT_EQ(id("HEAD^{tree}"), tree);
    // Made anew: vouched for again.
    EXPECT_EQ(snap().filesRead, 0u);
    struct stat info {};
    ASSERT_EQ(::stat(cacheFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
}

}  // namespace
}  // namespace tarvine::history
