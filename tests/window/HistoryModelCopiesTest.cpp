// The history window's Compare, Save a Copy and Deleted Files, through the
// model as the window drives them, over a real history.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempDir.h"
#include "window/HistoryModel.h"

namespace tarvine::window {
namespace {

using roots::Container;
using roots::Keeper;
namespace fs = std::filesystem;

class HistoryModelCopiesTest : public ::testing::Test {
 protected:
  HistoryModelCopiesTest() : keeper(Container(tmp.file("container"))), root(tmp.file("root")) {
    fs::create_directories(root);
  }
  // A snapshot (the first watches the root); its id.
  std::string snapshot() {
    if (!watched) {
      watched = true;
      EXPECT_TRUE(keeper.watch(root, RootMode::manual).ok());
    } else {
      EXPECT_TRUE(keeper.snapshot(root, history::Reason::manual).ok());
    }
    auto listing = keeper.versions(root, 1);
    return listing.ok() && !listing->versions.empty() ? listing->versions.front().id : "";
  }
  std::vector<std::string> names(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      found.push_back(entry.path().lexically_relative(folder).string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }

  testing::TempDir tmp;
  Keeper keeper;
  std::string root;
  bool watched = false;
};

// A version against the file now, or against a later version: text as a
// unified diff, anything else by whether it differs and the sizes.
TEST_F(HistoryModelCopiesTest, CompareShowsTextAsADiffAndOtherFilesByTheirSizes) {
  const std::string large(history::History::kCompareTextBytes + 1, 'x');
  const std::string binary(
      "\x7f"
      "ELF\0\0\x01",
      7);
  const struct {
    const char* name;
    std::string then, later;
    bool againstVersion;  // or the file now
    bool differs;
    std::vector<std::string> inDiff;  // lines the diff holds; none: no diff
    std::string summary;
  } cases[] = {
      {"changed",
       "one\ntwo\nthree\n",
       "one\n2\nthree\nfour\n",
       false,
       true,
       {"--- a/changed", "+++ b/changed", "@@ -1,3 +1,4 @@", " one", "-two", "+2", "+four"},
       "Differs: 14 bytes in this version, 17 bytes now."},
      {"same", "same\n", "same\n", false, false, {}, "The same as now (5 bytes)."},
      {"versions",
       "a\n",
       "b\n",
       true,
       true,
       {"-a", "+b"},
       "Differs: 2 bytes in this version, 2 bytes in the other one."},
      {"binary",
       binary,
       binary + "!",
       false,
       true,
       {},
       "Differs: 7 bytes in this version, 8 bytes now. It is not text, or too large to compare "
       "line by line."},
      {"large",
       "small\n",
       large,
       false,
       true,
       {},
       "Differs: 6 bytes in this version, 4.2\u00a0MB now. It is not text, or too large to "
       "compare line by line."},
      {"gone", "here\n", "", false, true, {"-here"}, "Not there now; 5 bytes in this version."},
  };
  for (const auto& c : cases) tmp.write(std::string("root/") + c.name, c.then);
  const std::string then = snapshot();
  for (const auto& c : cases) {
    const std::string path = std::string("root/") + c.name;
    std::string(c.name) == "gone" ? (void)fs::remove(tmp.file(path)) : tmp.write(path, c.later);
  }
  const std::string later = snapshot();
  tmp.write("root/versions", "now, neither\n");

  HistoryModel model(keeper, root);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto compared = model.compare(then, c.againstVersion ? later : "", c.name);
    ASSERT_TRUE(compared.ok()) << compared.status().message();
    EXPECT_EQ(compared->differs, c.differs);
    EXPECT_EQ(compared->summary, c.summary);
    EXPECT_EQ(compared->diff.empty(), c.inDiff.empty()) << compared->diff;
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = compared->diff.find('\n', at)) != std::string::npos;
         at = end + 1) {
      lines.push_back(compared->diff.substr(at, end - at));
    }
    for (const std::string& line : c.inDiff) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
  }
  // A file's own window compares the same way, and the file is only read.
  auto own = HistoryModel(keeper, root + "/changed").compare(then, "");
  ASSERT_TRUE(own.ok());
  EXPECT_NE(own->diff.find("+four\n"), std::string::npos);
  EXPECT_EQ(tmp.read("root/changed"), "one\n2\nthree\nfour\n");
}

// A folder as a version had it, in a place of the user's: its files, links
// and executable bits, counted as they are written; never over the original
// or over a folder that holds anything, and nothing left when it stops.
TEST_F(HistoryModelCopiesTest, SaveACopyWritesTheVersionElsewhereWhole) {
  tmp.write("root/docs/plan.txt", "plan 1\n");
  tmp.write("root/docs/sub/run.sh", "#!/bin/sh\n");
  ASSERT_EQ(::chmod(tmp.file("root/docs/sub/run.sh").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("plan.txt", tmp.file("root/docs/latest").c_str()), 0);
  const std::string version = snapshot();
  tmp.write("root/docs/plan.txt", "plan 2, since\n");
  fs::remove(tmp.file("root/docs/sub/run.sh"));
  snapshot();
  HistoryModel model(keeper, root + "/docs");
  fs::create_directories(tmp.file("elsewhere"));

  std::vector<history::CopyProgress> told;
  const std::string copy = tmp.file("elsewhere/docs as it was");
  Status saved = model.saveCopy(version, copy, "", [&](const history::CopyProgress& progress) {
    told.push_back(progress);
    return true;
  });
  ASSERT_TRUE(saved.ok()) << saved.message();
  EXPECT_EQ(names(copy), (std::vector<std::string>{"latest", "plan.txt", "sub", "sub/run.sh"}));
  EXPECT_EQ(tmp.read("elsewhere/docs as it was/plan.txt"), "plan 1\n");
  EXPECT_EQ(fs::read_symlink(copy + "/latest"), "plan.txt");
  EXPECT_TRUE((fs::status(copy + "/sub/run.sh").permissions() & fs::perms::owner_exec) !=
              fs::perms::none);
  ASSERT_EQ(told.size(), 3u);
  EXPECT_EQ(told.back().files, 3u);
  EXPECT_EQ(told.back().allFiles, 3u);
  EXPECT_EQ(told.back().bytes, told.back().allBytes);
  EXPECT_EQ(HistoryModel::copyProgress(told.back()), "3 of 3 files (25 bytes of 25 bytes)");
  EXPECT_EQ(tmp.read("root/docs/plan.txt"), "plan 2, since\n");

  // One file of it, under a name of the user's.
  ASSERT_TRUE(model.saveCopy(version, tmp.file("elsewhere/plan, old.txt"), "plan.txt").ok());
  EXPECT_EQ(tmp.read("elsewhere/plan, old.txt"), "plan 1\n");

  const struct {
    const char* why;
    std::string destination, below;
    bool stop;
  } refused[] = {
      {"the original folder", root + "/docs", "", false},
      {"the original file", root + "/docs/plan.txt", "plan.txt", false},
      {"a folder that holds something", tmp.file("elsewhere/docs as it was"), "", false},
      {"stopped midway", tmp.file("elsewhere/stopped"), "", true},
      {"not in that version", tmp.file("elsewhere/none"), "nothing.txt", false},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.why);
    const auto before = names(tmp.file("elsewhere")), original = names(root);
    EXPECT_FALSE(model
                     .saveCopy(version, c.destination, c.below,
                               [&](const history::CopyProgress&) { return !c.stop; })
                     .ok());
    EXPECT_EQ(names(tmp.file("elsewhere")), before);
    EXPECT_EQ(names(root), original);
  }
  EXPECT_EQ(tmp.read("root/docs/plan.txt"), "plan 2, since\n");
}

// Files some version had and the folder has not now, each with the newest
// version that had it, which opens, saves or restores it; found by comparing
// each version with the next, and the newest with the folder.
TEST_F(HistoryModelCopiesTest, DeletedFilesAreThoseGoneNowWithTheVersionThatLastHadThem) {
  tmp.write("root/docs/a.txt", "a\n");
  tmp.write("root/docs/keep.txt", "keep 1\n");
  tmp.write("root/docs/sub/b.txt", "b\n");
  tmp.write("root/docs/sub/deep/c.txt", "c\n");
  tmp.write("root/docs/sub/deep/d.txt", "d\n");
  tmp.write("root/other.txt", "not in docs\n");
  const std::string first = snapshot();
  fs::remove(tmp.file("root/docs/sub/b.txt"));
  fs::remove(tmp.file("root/other.txt"));
  snapshot();
  tmp.write("root/docs/keep.txt", "keep 2\n");
  tmp.write("root/docs/sub/b.txt", "b, again\n");
  const std::string third = snapshot();
  fs::remove_all(tmp.file("root/docs/sub"));
  fs::remove(tmp.file("root/docs/a.txt"));
  const std::string newest = snapshot();
  // Since the newest snapshot: one made again, one deleted.
  tmp.write("root/docs/a.txt", "made again, not yet in a snapshot\n");
  fs::remove(tmp.file("root/docs/keep.txt"));

  HistoryModel model(keeper, root + "/docs");
  auto deleted = model.deletedFiles();
  ASSERT_TRUE(deleted.ok()) << deleted.status().message();
  std::vector<std::tuple<std::string, std::string, std::uint64_t>> found;
  for (const auto& file : *deleted) found.emplace_back(file.path, file.lastSeen, file.size);
  EXPECT_EQ(found, (std::vector<std::tuple<std::string, std::string, std::uint64_t>>{
                       {"keep.txt", newest, 7},
                       {"sub/b.txt", third, 9},
                       {"sub/deep/c.txt", third, 2},
                       {"sub/deep/d.txt", third, 2}}));
  ASSERT_NE(HistoryModel::deletedAt(*deleted, "sub/deep/c.txt"), nullptr);
  EXPECT_EQ(HistoryModel::deletedAt(*deleted, "sub/deep"), nullptr);
  EXPECT_EQ(HistoryModel::deletedDetail(deleted->front(), deleted->front().time + 90)
                .rfind("last seen 1 minute ago (", 0),
            0u);

  // Brought back from the version that last had it, as the window does.
  ASSERT_TRUE(model.restore(third, "sub/b.txt").ok());
  EXPECT_EQ(tmp.read("root/docs/sub/b.txt"), "b, again\n");
  deleted = model.deletedFiles();
  ASSERT_TRUE(deleted.ok());
  EXPECT_EQ(deleted->size(), 3u);

  std::atomic<bool> stop{true};
  EXPECT_FALSE(model.deletedFiles(&stop).ok());
  EXPECT_TRUE(HistoryModel(keeper, root + "/docs/keep.txt").deletedFiles()->empty());
}

}  // namespace
}  // namespace tarvine::window
