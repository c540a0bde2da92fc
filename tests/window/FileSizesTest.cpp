// A version's files listed without their sizes, and the sizes read for the
// rows in sight only, as the window asks for them.

#include "window/FileSizes.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/TempDir.h"
#include "window/HistoryModel.h"

namespace tarvine::window {
namespace {

namespace fs = std::filesystem;
using Sizes = std::vector<std::optional<std::uint64_t>>;

// The listing without sizes is the listing with them, less the sizes, but
// those of the first screen; the sizes read later are the version's own.
TEST(FileSizesTest, TheListingWithoutSizesGetsTheSameSizesForTheRowsAsked) {
  testing::TempDir tmp;
  roots::Keeper keeper(roots::Container(tmp.file("container")));
  const std::string root = tmp.file("root");
  tmp.write("root/docs/a.txt", "aaaa");
  tmp.write("root/docs/b.txt", "bb");
  tmp.write("root/docs/sub/c.txt", "c");
  tmp.write("root/docs/sub/d.txt", "dddddddd");
  ASSERT_EQ(::symlink("a.txt", (root + "/docs/link").c_str()), 0);
  ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  const HistoryModel model(keeper, root + "/docs");
  const std::string first = model.load()->rows[0].version.id;
  // Sizes differ from one version to the next.
  tmp.write("root/docs/sub/d.txt", "d");
  ASSERT_TRUE(keeper.snapshot(root, history::Reason::manual).ok());

  auto whole = model.files(first);
  auto listed = model.fileList(first, /*sized=*/2);
  ASSERT_TRUE(whole.ok() && listed.ok());
  ASSERT_EQ(listed->size(), whole->size());
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < whole->size(); ++i) {
    const history::VersionFile &with = (*whole)[i], &without = (*listed)[i];
    SCOPED_TRACE(with.path);
    EXPECT_EQ(without.path, with.path);
    EXPECT_EQ(without.isLink, with.isLink);
    EXPECT_EQ(without.sized, i < 2) << "the first screen alone is sized";
    if (without.sized) {
      EXPECT_EQ(without.size, with.size);
    }
    paths.push_back(with.path);
  }
  EXPECT_EQ(HistoryModel::fileDetail(listed->back()), "");
  // Every size, as the first version had it; none where no file is.
  paths.insert(paths.end(), {"sub", "missing.txt"});
  auto sizes = model.fileSizes(first, paths);
  ASSERT_TRUE(sizes.ok()) << sizes.status().message();
  EXPECT_EQ(*sizes, (Sizes{4, 2, 5, 1, 8, std::nullopt, std::nullopt}));
  EXPECT_FALSE(model.fileSizes("no-such-version", {"a.txt"}).ok());
}

// What the window asks as rows come in sight, and what it is told to read.
TEST(FileSizesTest, RowsAskedAreReadTogetherLastAskedFirstAndEachOnlyOnce) {
  std::vector<history::VersionFile> files = {{"a", 0, false, false},
                                             {"b", 0, false, false},
                                             {"c", 5, false, true},
                                             {"d", 0, false, false},
                                             {"e", 0, false, false}};
  FileSizes sizes(files);
  EXPECT_TRUE(sizes.ask("a")) << "the first row starts a reading";
  EXPECT_FALSE(sizes.ask("b")) << "one is about to start: joins it";
  EXPECT_FALSE(sizes.ask("a")) << "asked already";
  EXPECT_FALSE(sizes.ask("c")) << "sized";
  EXPECT_FALSE(sizes.ask("zz")) << "no such file";
  EXPECT_EQ(sizes.take(), (std::vector<std::string>{"b", "a"}));
  EXPECT_FALSE(sizes.ask("d")) << "a reading runs: joins the next";
  EXPECT_TRUE(sizes.arrived({"b", "a"}, Sizes{7, 9})) << "d waits";
  EXPECT_EQ(HistoryModel::fileDetail(files[0]), "9 bytes");
  EXPECT_EQ(HistoryModel::fileDetail(files[1]), "7 bytes");
  EXPECT_FALSE(sizes.ask("e")) << "the next is about to start";
  EXPECT_EQ(sizes.take(), (std::vector<std::string>{"e", "d"}));
  EXPECT_FALSE(sizes.arrived({"e", "d"}, Status::error("cannot read", EIO)));
  EXPECT_FALSE(files[3].sized);
  EXPECT_FALSE(sizes.ask("d")) << "a failure is not read again and again";
  EXPECT_TRUE(sizes.take().empty());

  // Scrolled through many rows: those in sight now first, a batch at a time.
  std::vector<history::VersionFile> many;
  for (int i = 0; i < 300; ++i) many.push_back({std::to_string(1000 + i), 0, false, false});
  FileSizes scrolled(many);
  for (const auto& file : many) (void)scrolled.ask(file.path);
  const auto batch = scrolled.take();
  ASSERT_EQ(batch.size(), FileSizes::kBatch);
  EXPECT_EQ(batch.front(), "1299");
  EXPECT_TRUE(scrolled.arrived(batch, Sizes(batch.size(), 1)));
  EXPECT_EQ(scrolled.take().size(), 300 - FileSizes::kBatch);
}

}  // namespace
}  // namespace tarvine::window
