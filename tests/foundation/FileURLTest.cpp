#include "foundation/FileURL.h"

#include <gtest/gtest.h>

namespace tarvine {
namespace {

TEST(FileURLTest, PathDropsTrailingSlashExceptForRoot) {
  EXPECT_EQ(FileURL::fromPath("/u/docs/", false).path(), "/u/docs");
  EXPECT_EQ(FileURL::fromPath("/u/docs", true).path(), "/u/docs");
  EXPECT_EQ(FileURL::fromPath("/", true).path(), "/");
  EXPECT_TRUE(FileURL::fromPath("/u/docs", true).hasDirectoryPath());
  EXPECT_FALSE(FileURL::fromPath("/u/docs", false).hasDirectoryPath());
  // A path is kept as given, trailing slash included, when not marked a directory.
  EXPECT_TRUE(FileURL::fromPath("/u/docs/", false).hasDirectoryPath());
  EXPECT_EQ(FileURL::fromPath("", true).rawPath(), "/");
  EXPECT_EQ(FileURL::fromPath("rel/x", false).rawPath(), "/rel/x");
}

TEST(FileURLTest, StandardizesDotsAndKeepsDirectoryForm) {
  auto std = [](const char* p, bool dir) {
    return FileURL::fromPath(p, dir).standardized().rawPath();
  };
  EXPECT_EQ(std("/a/./b/../c", false), "/a/c");
  EXPECT_EQ(std("/a/b/..", false), "/a/");
  EXPECT_EQ(std("/a/b/.", false), "/a/b/");
  EXPECT_EQ(std("/a//b/", true), "/a/b/");
  EXPECT_EQ(std("/../..", false), "/");
  EXPECT_EQ(std("/../a", false), "/a");
  EXPECT_EQ(std("/", true), "/");
  // Standardising is idempotent.
  FileURL once = FileURL::fromPath("/x/../y/./z/", true).standardized();
  EXPECT_EQ(once.standardized(), once);
}

TEST(FileURLTest, AppendsAndDropsComponents) {
  FileURL container = FileURL::fromPath("/data/group", true);
  EXPECT_EQ(container.appendingPathComponent("requests", true).rawPath(), "/data/group/requests/");
  EXPECT_EQ(container.appendingPathComponent("roots.json", false).rawPath(),
            "/data/group/roots.json");
  FileURL appex = FileURL::fromPath("/A/Main.app/Contents/PlugIns/Ext.appex", true);
  EXPECT_EQ(appex.deletingLastPathComponent()
                .deletingLastPathComponent()
                .deletingLastPathComponent()
                .rawPath(),
            "/A/Main.app/");
  EXPECT_EQ(FileURL::fromPath("/", true).deletingLastPathComponent().rawPath(), "/");
  EXPECT_EQ(FileURL::fromPath("/a/b.json", false).lastPathComponent(), "b.json");
}

TEST(FileURLTest, ParsesAndPrintsPercentEscapes) {
  auto url = FileURL::parse("file:///Users/a/My%20Docs/caf%C3%A9/");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path(), "/Users/a/My Docs/café");
  EXPECT_TRUE(url->hasDirectoryPath());
  EXPECT_EQ(url->toString(), "file:///Users/a/My%20Docs/caf%C3%A9/");
  EXPECT_EQ(FileURL::parse("file://localhost/x")->path(), "/x");
  // Escapes back to back and at the very end, between the runs copied whole.
  EXPECT_EQ(FileURL::parse("file:///%41%42/c%44")->rawPath(), "/AB/cD");
  EXPECT_EQ(FileURL::fromPath("/a%b#c?", false).toString(), "file:///a%25b%23c%3F");
  // Printing and parsing give the same URL back.
  FileURL odd = FileURL::fromPath("/ü/ %/\x7f", false);
  EXPECT_EQ(FileURL::parse(odd.toString()), odd);
}

TEST(FileURLTest, ParseRejectsWhatIsNotALocalFileURL) {
  for (const char* text : {"http://x/a", "file:/a", "file://host/a", "/plain/path", "file:///a%2",
                           "file:///a%zz", "file:///a%00b", "file:///a?q", "file:///a#f", ""}) {
    EXPECT_FALSE(FileURL::parse(text)) << text;
  }
  // Found by fuzzing: a raw NUL used to be kept, and the URL did not print back.
  EXPECT_FALSE(FileURL::parse(std::string("file:///a\0b", 11)));
}

}  // namespace
}  // namespace tarvine
