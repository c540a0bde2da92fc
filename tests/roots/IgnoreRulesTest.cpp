#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "roots/Keeper.h"
#include "tests/support/TempDir.h"

namespace tarvine::roots {
namespace {

using Kind = Status::Kind;

// The list the window edits is the history's rule file, and its preview counts
// exactly what the next snapshot leaves out: with the container inside the
// watched folder (never in a snapshot, never counted), for each list in turn.
TEST(IgnoreRulesTest, TheListIsTheRuleFileAndItsPreviewIsWhatTheNextSnapshotLeavesOut) {
  testing::TempDir tmp;
  const std::string root = tmp.file("watched");
  for (const char* name : {"notes.txt", "a.tmp", "keep.tmp", "build/out.o", "build/deep/x.o",
                           "docs/build/y", "#odd"}) {
    tmp.write(std::string("watched/") + name, "x");
  }
  Keeper keeper(Container(root + "/.container"));
  ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  auto none = keeper.ignoreRules(root);
  ASSERT_TRUE(none.ok()) << none.status().message();
  EXPECT_TRUE(none->empty());

  const struct {
    std::vector<std::string> patterns;
    std::size_t matched;
  } cases[] = {
      {{"*.tmp"}, 2},
      {{"*.tmp", "!keep.tmp"}, 1},
      {{"build/"}, 3},  // at any depth, and all in it
      {{"/build/", ""}, 2},
      {{"\\#odd", "docs"}, 2},
      {{}, 0},
  };
  int edit = 0;
  for (const auto& row : cases) {
    const std::string what = ::testing::PrintToString(row.patterns);
    auto preview = keeper.ignoredBy(root, row.patterns);
    ASSERT_TRUE(preview.ok()) << what << preview.status().message();
    EXPECT_EQ(preview->matched, row.matched) << what;
    EXPECT_EQ(preview->files, 7u) << what;

    ASSERT_TRUE(keeper.setIgnoreRules(root, row.patterns).ok()) << what;
    auto read = keeper.ignoreRules(root);
    ASSERT_TRUE(read.ok()) << what;
    std::vector<std::string> expected;
    for (const std::string& pattern : row.patterns) {
      if (!pattern.empty()) expected.push_back(pattern);
    }
    EXPECT_EQ(*read, expected);

    tmp.write("watched/notes.txt", "edit " + std::to_string(++edit));
    auto taken = keeper.snapshot(root, history::Reason::manual);
    ASSERT_TRUE(taken.ok() && !taken->snapshot.id.empty()) << what;
    auto files = keeper.files(root, taken->snapshot.id);
    ASSERT_TRUE(files.ok()) << what;
    EXPECT_EQ(files->size(), 7 - row.matched) << what;
  }

  // What cannot be one line of the file is refused, and the rules stay.
  ASSERT_TRUE(keeper.setIgnoreRules(root, {"*.tmp"}).ok());
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"*.o", "two\nlines"}, {"#comment"}}) {
    EXPECT_EQ(keeper.setIgnoreRules(root, bad).kind(), Kind::invalid);
    EXPECT_EQ(*keeper.ignoreRules(root), std::vector<std::string>{"*.tmp"});
  }
  // The file keeps the help at its top for whoever opens it by hand.
  std::ifstream rules(*keeper.ignoreFile(root));
  std::string first;
  std::getline(rules, first);
  EXPECT_EQ(first.rfind("# ", 0), 0u) << first;

  EXPECT_EQ(keeper.ignoredBy(root + "/docs", {}).status().kind(), Kind::notWatched);
  EXPECT_EQ(keeper.setIgnoreRules(root + "/docs", {}).kind(), Kind::notWatched);
}

}  // namespace
}  // namespace tarvine::roots
