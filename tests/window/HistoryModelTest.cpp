#include "window/HistoryModel.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <tuple>

#include "tests/support/TempDir.h"

namespace tarvine::window {
namespace {

using roots::Container;
using roots::Keeper;

namespace fs = std::filesystem;

// A watched folder "root" in a container of its own, driven as the window
// drives it.
class HistoryModelTest : public ::testing::Test {
 protected:
  HistoryModelTest() : keeper(Container(tmp.file("container"))), root(tmp.file("root")) {
    fs::create_directories(root);
  }
  void watch() { ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok()); }
  void snapshot() { ASSERT_TRUE(keeper.snapshot(root, history::Reason::manual).ok()); }
  // notes.txt with each content in turn, a snapshot of each (the first when
  // the root is watched); the oldest version's id.
  std::string notesVersions(const std::vector<std::string>& contents) {
    for (const std::string& content : contents) {
      tmp.write("root/notes.txt", content);
      &content == &contents.front() ? watch() : snapshot();
    }
    auto listing = HistoryModel(keeper, root + "/notes.txt").load();
    return listing.ok() && !listing->rows.empty() ? listing->rows.back().version.id : "";
  }
  std::vector<std::string> column(const HistoryModel::Listing& listing,
                                  std::string HistoryModel::Row::*field) {
    std::vector<std::string> values;
    for (const auto& row : listing.rows) values.push_back(row.*field);
    return values;
  }

  testing::TempDir tmp;
  Keeper keeper;
  std::string root;
};

TEST_F(HistoryModelTest, AFilesVersionsSayWhatHappenedTheirSizeAndWhetherTheyDifferFromNow) {
  tmp.write("root/notes.txt", "one\n");
  watch();
  tmp.write("root/notes.txt", "two 2\n");
  snapshot();
  tmp.write("root/other.txt", "not a version of notes\n");
  snapshot();
  tmp.write("root/notes.txt", "three 3\n");
  snapshot();
  HistoryModel model(keeper, root + "/notes.txt");

  auto listing = model.load(SIZE_MAX, std::time(nullptr) + 90);
  ASSERT_TRUE(listing.ok()) << listing.status().message();
  EXPECT_FALSE(listing->isFolder);
  EXPECT_EQ(column(*listing, &HistoryModel::Row::what),
            (std::vector<std::string>{"Manual snapshot", "Manual snapshot", "History enabled"}));
  EXPECT_EQ(column(*listing, &HistoryModel::Row::detail),
            (std::vector<std::string>{"8 bytes, same as now", "6 bytes, differs from now",
                                      "4 bytes, differs from now"}));
  EXPECT_EQ(listing->rows[0].when, "1 minute ago");
  EXPECT_EQ(listing->rows[0].label.rfind("Manual snapshot, 1 minute ago (", 0), 0u)
      << listing->rows[0].label;

  // Edited since: no version is the current content any more.
  tmp.write("root/notes.txt", "four\n");
  listing = model.load();
  ASSERT_TRUE(listing.ok());
  EXPECT_EQ(listing->rows[0].detail, "8 bytes, differs from now");

  // A first screen: the newest, and a note that there are more.
  auto first = model.load(2);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->rows.size(), 2u);
  EXPECT_FALSE(first->complete);
  EXPECT_TRUE(listing->complete);
  EXPECT_TRUE(fs::is_directory(listing->repository + "refs/heads"));
}

TEST_F(HistoryModelTest, AFoldersVersionsCountTheFilesChangedAndListTheirFiles) {
  tmp.write("root/docs/a.txt", "a");
  tmp.write("root/docs/b.txt", "b");
  tmp.write("root/docs/.git/config", "a repository inside is history too");
  watch();
  tmp.write("root/docs/a.txt", "a2");
  fs::remove(root + "/docs/b.txt");
  tmp.write("root/docs/c.txt", "c");
  tmp.write("root/elsewhere.txt", "not in docs");
  snapshot();
  HistoryModel model(keeper, root + "/docs");

  auto listing = model.load();
  ASSERT_TRUE(listing.ok()) << listing.status().message();
  EXPECT_TRUE(listing->isFolder);
  EXPECT_EQ(column(*listing, &HistoryModel::Row::detail),
            (std::vector<std::string>{"3 files changed", "3 files changed"}));

  auto files = model.files(listing->rows[1].version.id);
  ASSERT_TRUE(files.ok()) << files.status().message();
  std::vector<std::tuple<std::string, std::uint64_t>> seen;
  for (const auto& file : *files) seen.emplace_back(file.path, file.size);
  EXPECT_EQ(seen, (std::vector<std::tuple<std::string, std::uint64_t>>{
                      {".git/config", 34}, {"a.txt", 1}, {"b.txt", 1}}));
  ASSERT_NE(HistoryModel::fileAt(*files, ".git/config"), nullptr);
  EXPECT_EQ(HistoryModel::fileAt(*files, ".git/config")->size, 34u);
  EXPECT_FALSE(model.files("no-such-version").ok());
  EXPECT_FALSE(HistoryModel(keeper, root + "/docs/a.txt").files(listing->rows[0].version.id).ok());
}

TEST_F(HistoryModelTest, RestoreKeepsTheCurrentStateFirstAndItsUndoPutsItBack) {
  const std::string oldest = notesVersions({"old\n", "new\n"});
  tmp.write("root/notes.txt", "unsaved edit\n");
  HistoryModel model(keeper, root + "/notes.txt");

  auto restored = model.restore(oldest);
  ASSERT_TRUE(restored.ok());
  EXPECT_EQ(tmp.read("root/notes.txt"), "old\n");
  EXPECT_EQ(restored->written, std::vector<std::string>{"notes.txt"});
  auto listing = model.load();
  ASSERT_TRUE(listing.ok());
  EXPECT_EQ(column(*listing, &HistoryModel::Row::what),
            (std::vector<std::string>{"Before a restore", "Manual snapshot", "History enabled"}));
  EXPECT_EQ(listing->rows.back().detail, "4 bytes, same as now");

  ASSERT_TRUE(model.restore(restored->undo).ok());
  EXPECT_EQ(tmp.read("root/notes.txt"), "unsaved edit\n");

  // A file of a folder, picked from the folder's files.
  tmp.write("root/notes.txt", "again\n");
  ASSERT_TRUE(HistoryModel(keeper, root).restore(oldest, "notes.txt").ok());
  EXPECT_EQ(tmp.read("root/notes.txt"), "old\n");
  EXPECT_EQ(model.restore("no-such-version").status().kind(), Status::Kind::notFound);
}

// Snapshot Now takes the folder that holds the target, as `tarvine snapshot`
// does, and says so; a new version shows at the next load.
TEST_F(HistoryModelTest, SnapshotNowTakesTheWatchedFolderAndSaysWhatItDid) {
  tmp.write("root/docs/notes.txt", "one\n");
  tmp.write("root/other.txt", "other\n");
  HistoryModel model(keeper, root + "/docs/notes.txt");
  EXPECT_EQ(model.snapshot().status().kind(), Status::Kind::notWatched);
  watch();

  auto said = model.snapshot();
  ASSERT_TRUE(said.ok()) << said.status().message();
  EXPECT_EQ(*said, "Nothing in root changed since its last snapshot.");
  tmp.write("root/other.txt", "changed beside the target\n");
  said = model.snapshot();
  ASSERT_TRUE(said.ok());
  EXPECT_EQ(*said, "Snapshot of root taken (1 file read).");
  tmp.write("root/docs/notes.txt", "two\n");
  said = model.snapshot();
  ASSERT_TRUE(said.ok());
  auto listing = model.load();
  ASSERT_TRUE(listing.ok());
  EXPECT_EQ(column(*listing, &HistoryModel::Row::what),
            (std::vector<std::string>{"Manual snapshot", "History enabled"}));
}

// Keep Always is the command line's pin: a pin made either way shows on its
// row, and the policy, as set, is said beside the versions. (That thinning
// keeps it, the desktop test sees through the command line.)
TEST_F(HistoryModelTest, AVersionKeptAlwaysSaysSoBesideThePolicy) {
  notesVersions({"one\n", "two\n", "three\n", "four\n"});
  HistoryModel model(keeper, root + "/notes.txt");
  auto listing = model.load();
  ASSERT_TRUE(listing.ok()) << listing.status().message();
  ASSERT_EQ(listing->rows.size(), 4u);
  EXPECT_EQ(listing->keeps,
            "Policy of root: keeps all:1d,1h:1w,1d:90d,1w:forever, size limit none. A version "
            "kept always stays whatever it says.");
  const std::string second = listing->rows[2].version.id, third = listing->rows[1].version.id;

  auto pinned = model.pin(second.substr(0, 8));
  ASSERT_TRUE(pinned.ok()) << pinned.status().message();
  EXPECT_EQ(*pinned, second);
  ASSERT_TRUE(keeper.pin(root, third).ok());  // as `tarvine pin` does
  ASSERT_TRUE(keeper.setRetention(root, *history::Retention::parse("1w:forever")).ok());
  listing = model.load();
  ASSERT_TRUE(listing.ok());
  std::vector<bool> marks;
  for (const auto& row : listing->rows) {
    marks.push_back(row.pinned);
    const std::string end = ", kept always";
    EXPECT_EQ(row.label.size() > end.size() && row.label.ends_with(end), row.pinned) << row.label;
  }
  EXPECT_EQ(marks, (std::vector<bool>{false, true, true, false}));
  EXPECT_EQ(listing->keeps.rfind("Policy of root: keeps 1w:forever, size limit none.", 0), 0u);

  // Unpinned, its row is the policy's again; what is not pinned cannot be unpinned.
  ASSERT_TRUE(model.unpin(third).ok());
  EXPECT_EQ(model.unpin(third).status().kind(), Status::Kind::notFound);
  EXPECT_FALSE(model.pin("no-such-version").ok());
  listing = model.load();
  ASSERT_TRUE(listing.ok());
  EXPECT_FALSE(listing->rows[1].pinned);
  EXPECT_TRUE(listing->rows[2].pinned);
}

TEST_F(HistoryModelTest, OpenMakesAReadOnlyCopyUnderTheFilesName) {
  const std::string oldest = notesVersions({"old\n", "new\n"});
  HistoryModel model(keeper, root + "/notes.txt");
  fs::create_directories(tmp.file("copies"));

  auto copy = model.copyOf(oldest, tmp.file("copies"));
  ASSERT_TRUE(copy.ok()) << copy.status().message();
  EXPECT_EQ(fs::path(*copy).filename(), "notes.txt");
  EXPECT_EQ(tmp.read(fs::relative(*copy, tmp.path())), "old\n");
  struct stat info {};
  ASSERT_EQ(::stat(copy->c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0444u);
  EXPECT_EQ(*model.copyOf(oldest, tmp.file("copies")), *copy);

  // Nothing half-written is left by a version that cannot be read.
  EXPECT_FALSE(model.copyOf("0000000000000000000000000000000000000000", tmp.file("copies")).ok());
  for (const auto& entry : fs::recursive_directory_iterator(tmp.file("copies"))) {
    EXPECT_NE(entry.path().extension(), ".part") << entry.path();
  }
  EXPECT_EQ(tmp.read("root/notes.txt"), "new\n");
}

// Two files of one name in different folders are two copies, each with its
// own content, whether opened from the file or from a folder above it.
TEST_F(HistoryModelTest, OpenKeepsFilesOfOneNameInDifferentFoldersApart) {
  tmp.write("root/a/notes.txt", "a's notes\n");
  tmp.write("root/b/notes.txt", "b's notes\n");
  tmp.write("root/a/b/notes.txt", "a/b's notes\n");
  watch();
  auto listing = HistoryModel(keeper, root).load();
  ASSERT_TRUE(listing.ok() && !listing->rows.empty());
  const std::string version = listing->rows.front().version.id;
  fs::create_directories(tmp.file("copies"));
  const struct {
    std::string target, below, content;
  } cases[] = {{root + "/a/notes.txt", "", "a's notes\n"},
               {root + "/b/notes.txt", "", "b's notes\n"},
               {root, "a/b/notes.txt", "a/b's notes\n"},
               {root + "/a", "b/notes.txt", "a/b's notes\n"},
               {root, "a/notes.txt", "a's notes\n"}};
  std::set<std::string> copies;
  for (const auto& file : cases) {
    SCOPED_TRACE(file.target + " " + file.below);
    auto copy = HistoryModel(keeper, file.target).copyOf(version, tmp.file("copies"), file.below);
    ASSERT_TRUE(copy.ok()) << copy.status().message();
    EXPECT_EQ(fs::path(*copy).filename(), "notes.txt");
    EXPECT_EQ(tmp.read(fs::relative(*copy, tmp.path())), file.content);
    copies.insert(*copy);
  }
  EXPECT_EQ(copies.size(), 3u);  // one for each file, however it was reached
}

// The window keeps a version's files once, in the order files() gives them,
// and finds a row's details by the path the row shows: that path exactly,
// never a folder of the same name, a neighbour, or another case.
TEST(HistoryModelFiles, FindsAFileByItsExactPathAndSaysItsSizeOrThatItIsALink) {
  const std::vector<history::VersionFile> files = {
      {"a", 0, false},     {"a b/c.txt", 999, false}, {"a/b", 1000, false},
      {"a/b/c", 1, false}, {"link", 4, true},         {"z\xff", 12'345'678, false}};
  ASSERT_TRUE(std::is_sorted(files.begin(), files.end(),
                             [](const auto& a, const auto& b) { return a.path < b.path; }));
  // (GLib puts a no-break space before the unit.)
  const std::vector<std::pair<std::string, std::string>> cases = {{"a", "0 bytes"},
                                                                  {"a b/c.txt", "999 bytes"},
                                                                  {"a/b", "1.0\u00a0kB"},
                                                                  {"a/b/c", "1 byte"},
                                                                  {"link", "link"},
                                                                  {"z\xff", "12.3\u00a0MB"},
                                                                  {"", ""},
                                                                  {"a/", ""},
                                                                  {"a/b/", ""},
                                                                  {"A", ""},
                                                                  {"0", ""},
                                                                  {"zz", ""},
                                                                  {"a b", ""},
                                                                  {"link ", ""}};
  for (const auto& [path, detail] : cases) {
    const history::VersionFile* found = HistoryModel::fileAt(files, path);
    EXPECT_EQ(found != nullptr ? found->path : "", detail.empty() ? "" : path);
    EXPECT_EQ(found != nullptr ? HistoryModel::fileDetail(*found) : "", detail) << path;
  }
  EXPECT_EQ(HistoryModel::fileAt({}, "a"), nullptr);
}

TEST(RelativeTime, ReadsAsPeopleSayIt) {
  const std::int64_t now = 1'800'000'000;
  const std::vector<std::pair<std::int64_t, std::string>> cases = {
      {0, "just now"},           {59, "just now"},
      {60, "1 minute ago"},      {119, "1 minute ago"},
      {3599, "59 minutes ago"},  {3600, "1 hour ago"},
      {7200, "2 hours ago"},     {86400, "yesterday"},
      {2 * 86400, "2 days ago"}, {30 * 86400, "30 days ago"}};
  for (const auto& [ago, expected] : cases)
    EXPECT_EQ(relativeTime(now - ago, now), expected) << ago;
  EXPECT_NE(relativeTime(now - 400 * 86400, now).find_first_of("0123456789"), std::string::npos);
}

}  // namespace
}  // namespace tarvine::window
