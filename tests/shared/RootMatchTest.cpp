#include "shared/RootMatch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/posix/PosixFileSystem.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

using Root = WatchedRootsManifest::Root;

class RootMatchTest : public ::testing::Test {
 protected:
  RootMatch match(const std::string& target, bool isDirectory, std::vector<Root> roots) {
    WatchedRootsManifest manifest{1, Timestamp(), std::move(roots)};
    return matchTarget(FileURL::fromPath(target, isDirectory), manifest, files);
  }

  testing::TempDir tmp;
  PosixFileSystem files{tmp.path()};
};

RootMatch expected(bool isDirectory, bool isRoot, bool isEnabled, bool isWatched,
                   RootMode mode = RootMode::automatic) {
  return RootMatch{isDirectory, isRoot, isEnabled, isWatched, mode};
}

TEST_F(RootMatchTest, RootItselfAndItemsInside) {
  std::vector<Root> roots{{"/u/docs", false, "manual"}};
  EXPECT_EQ(match("/u/docs", true, roots), expected(true, true, true, true, RootMode::manual));
  EXPECT_EQ(match("/u/docs", false, roots), expected(false, true, true, true, RootMode::manual));
  EXPECT_EQ(match("/u/docs/x/y.txt", false, roots),
            expected(false, false, true, true, RootMode::manual));
  EXPECT_EQ(match("/u/docs2", true, roots), expected(true, false, false, false));
  EXPECT_EQ(match("/u", true, roots), expected(true, false, false, false));
  // "." and ".." are removed before matching.
  EXPECT_EQ(match("/u/other/../docs/./a", false, roots),
            expected(false, false, true, true, RootMode::manual));
}

TEST_F(RootMatchTest, RootWithTrailingSlashNeverMatchesItself) {
  std::vector<Root> roots{{"/u/docs/", false, {}}};
  EXPECT_EQ(match("/u/docs", true, roots), expected(true, false, false, false));
  EXPECT_EQ(match("/u/docs/x", false, roots), expected(false, false, true, true));
}

TEST_F(RootMatchTest, SlashAndEmptyRootsContainEverything) {
  EXPECT_EQ(match("/", true, {{"/", false, {}}}), expected(true, true, true, true));
  EXPECT_EQ(match("/a/b", false, {{"/", false, {}}}), expected(false, false, true, true));
  EXPECT_EQ(match("/a/b", false, {{"", true, {}}}), expected(false, false, false, true));
  EXPECT_EQ(match("/", true, {{"", false, {}}}), expected(true, false, true, true));
}

TEST_F(RootMatchTest, FirstRootInFileOrderWins) {
  std::vector<Root> nested{{"/a", false, {}}, {"/a/b", false, "manual"}};
  EXPECT_EQ(match("/a/b", true, nested), expected(true, false, true, true));
  EXPECT_EQ(match("/a/b/c", false, nested), expected(false, false, true, true));
  std::vector<Root> reversed{{"/a/b", false, "manual"}, {"/a", false, {}}};
  EXPECT_EQ(match("/a/b", true, reversed), expected(true, true, true, true, RootMode::manual));
  std::vector<Root> pausedFirst{{"/a", true, {}}, {"/a/b", false, {}}};
  EXPECT_EQ(match("/a/b/c", false, pausedFirst), expected(false, false, false, true));
}

TEST_F(RootMatchTest, ModeIsManualOnlyForExactlyManual) {
  for (const char* mode : {"automatic", "Manual", "MANUAL", " manual", "manual ", ""}) {
    EXPECT_EQ(match("/r", true, {{"/r", false, std::string(mode)}}).mode, RootMode::automatic)
        << mode;
  }
  EXPECT_EQ(match("/r", true, {{"/r", false, std::nullopt}}).mode, RootMode::automatic);
  EXPECT_EQ(match("/r", true, {{"/r", false, "manual"}}).mode, RootMode::manual);
}

TEST_F(RootMatchTest, ComparesUnderCanonicalEquivalence) {
  std::vector<Root> roots{{"/u/caf\xC3\xA9", false, {}}};
  EXPECT_EQ(match("/u/cafe\xCC\x81", true, roots), expected(true, true, true, true));
  EXPECT_EQ(match("/u/cafe\xCC\x81/x", false, roots), expected(false, false, true, true));
  // A root written decomposed matches a target written precomposed.
  std::vector<Root> decomposed{{"/u/cafe\xCC\x81", false, {}}, {"/u/\xFF", false, "manual"}};
  EXPECT_EQ(match("/u/caf\xC3\xA9/x", false, decomposed), expected(false, false, true, true));
  EXPECT_EQ(match("/u/caf\xC3\xA9", true, decomposed), expected(true, true, true, true));
  // Paths that are not valid UTF-8 compare byte for byte.
  EXPECT_EQ(match("/u/\xFF", true, decomposed), expected(true, true, true, true, RootMode::manual));
  EXPECT_EQ(match("/u/\xFF/\xFE", false, decomposed),
            expected(false, false, true, true, RootMode::manual));
  EXPECT_EQ(match("/u/\xFE", true, decomposed), expected(true, false, false, false));
  // A combining mark after the root's slash makes a different first character.
  std::vector<Root> plain{{"/u/docs", false, {}}};
  EXPECT_EQ(match("/u/docs/\xCC\x81x", false, plain), expected(false, false, false, false));
}

TEST_F(RootMatchTest, TargetsAreResolvedThroughLinksButRootsAreNot) {
  namespace fs = std::filesystem;
  std::string real = fs::canonical(tmp.path()).string();
  fs::create_directories(real + "/watched/inner");
  fs::create_directory_symlink(real + "/watched", real + "/alias");
  std::vector<Root> roots{{real + "/watched", false, {}}};
  EXPECT_EQ(match(real + "/alias/inner", true, roots), expected(true, false, true, true));
  EXPECT_EQ(match(real + "/alias", true, roots), expected(true, true, true, true));
  std::vector<Root> viaLink{{real + "/alias", false, {}}};
  EXPECT_EQ(match(real + "/alias/inner", true, viaLink), expected(true, false, false, false));
}

TEST_F(RootMatchTest, IsRootAndIsEnabledImplyIsWatched) {
  std::vector<Root> roots{{"/a", true, "manual"}, {"/b/", false, {}}, {"", false, "x"}};
  for (const char* target : {"/", "/a", "/a/x", "/b", "/b/c", "/c"}) {
    for (bool dir : {false, true}) {
      RootMatch m = match(target, dir, roots);
      EXPECT_EQ(m.isDirectory, dir || std::string(target) == "/");  // "/" is always a directory
      if (m.isRoot || m.isEnabled || m.mode == RootMode::manual) {
        EXPECT_TRUE(m.isWatched) << target;
      }
    }
  }
}

}  // namespace
}  // namespace tarvine
