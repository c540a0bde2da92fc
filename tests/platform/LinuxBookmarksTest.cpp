#include "platform/linux/LinuxBookmarks.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

TEST(LinuxBookmarksTest, NoScopedAccessOnLinux) {
  LinuxBookmarks bookmarks;
  EXPECT_FALSE(bookmarks.startAccessing(FileURL::fromPath("/", true)));
}

TEST(LinuxBookmarksTest, BookmarksResolveWhileTheSameFileIsThere) {
  testing::TempDir tmp;
  std::filesystem::create_directory(tmp.file("Docs"));
  LinuxBookmarks bookmarks;
  auto bytes = bookmarks.bookmarkData(FileURL::fromPath(tmp.file("Docs"), true));
  ASSERT_TRUE(bytes);
  EXPECT_EQ(LinuxBookmarks::resolve(*bytes), tmp.file("Docs"));
  // Replaced by another folder of the same name: a different inode, so stale.
  std::filesystem::rename(tmp.file("Docs"), tmp.file("Old"));
  std::filesystem::create_directory(tmp.file("Docs"));
  EXPECT_FALSE(LinuxBookmarks::resolve(*bytes));
  EXPECT_FALSE(bookmarks.bookmarkData(FileURL::fromPath(tmp.file("missing"), false)));

  // A new folder that reuses the old one's device and inode is told apart by
  // its birth time (the record is made to claim the new inode, as reuse would).
  auto fresh =
      LinuxBookmarks::decode(*bookmarks.bookmarkData(FileURL::fromPath(tmp.file("Docs"), true)));
  ASSERT_TRUE(fresh);
  if (!fresh->born) GTEST_SKIP() << "this file system keeps no birth times";
  LinuxBookmarks::Record reused = *fresh;
  *reused.born -= 1;
  EXPECT_FALSE(LinuxBookmarks::resolve(LinuxBookmarks::encode(reused)));
  reused.born.reset();  // a record made without a birth time still resolves
  EXPECT_EQ(LinuxBookmarks::resolve(LinuxBookmarks::encode(reused)), tmp.file("Docs"));
}

TEST(LinuxBookmarksTest, RecordsRoundTripAndRejectForgeries) {
  for (std::optional<std::int64_t> born :
       {std::optional<std::int64_t>(), std::optional<std::int64_t>(5)}) {
    LinuxBookmarks::Record record{"/a\nb/c d", 7, 9, born};
    auto decoded = LinuxBookmarks::decode(LinuxBookmarks::encode(record));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->path, record.path);
    EXPECT_EQ(decoded->device, 7u);
    EXPECT_EQ(decoded->inode, 9u);
    EXPECT_EQ(decoded->born, born);
  }
  for (std::string text :
       {"", "tarvine-bookmark 1\n", "tarvine-bookmark 2\ndevice=1\ninode=2\npath=/x",
        "tarvine-bookmark 1\ndevice=-1\ninode=2\npath=/x",
        "tarvine-bookmark 1\ndevice=1\ninode=2\npath=relative",
        "tarvine-bookmark 1\ndevice=1\ninode=2\nborn=x\npath=/x"}) {
    EXPECT_FALSE(LinuxBookmarks::decode(Data(text.begin(), text.end()))) << text;
  }
}

}  // namespace
}  // namespace tarvine
