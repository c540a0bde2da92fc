#include "extension/FinderSync.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

using testing::FakeServices;

class FinderSyncTest : public ::testing::Test {
 protected:
  std::vector<FileURL> scopeFor(std::optional<std::string> userDatabaseHome) {
    env.fileSystem.faults.userDatabaseHome = std::move(userDatabaseHome);
    env.fileSystem.faults.homeForCurrentUser = FileURL::fromPath("/sandbox/home", true);
    env.host.registrations.clear();
    FinderSync extension(env.services(), ids);
    EXPECT_EQ(env.host.registrations.size(), 1u);
    return env.host.registrations.empty() ? std::vector<FileURL>{} : env.host.registrations[0];
  }

  testing::TempDir tmp;
  FakeServices env{tmp.path()};
  Identifiers ids{env.bundle, env.fileSystem};
};

TEST_F(FinderSyncTest, RegistersTheUserDatabaseHomeAsTheOnlyScope) {
  EXPECT_EQ(scopeFor("/Users/a"), std::vector<FileURL>{FileURL::fromPath("/Users/a/", true)});
  EXPECT_TRUE(scopeFor("/Users/a")[0].hasDirectoryPath());
}

TEST_F(FinderSyncTest, FallsBackToTheFileManagersHomeOnlyWithoutADatabaseHome) {
  EXPECT_EQ(scopeFor(std::nullopt),
            std::vector<FileURL>{FileURL::fromPath("/sandbox/home/", true)});
  // An empty home text counts as present.
  EXPECT_EQ(scopeFor(std::string()), std::vector<FileURL>{FileURL::fromPath("/", true)});
}

TEST_F(FinderSyncTest, ToolbarTextsAndAFreshCache) {
  FinderSync extension(env.services(), ids);
  EXPECT_EQ(extension.toolbarItemName(), "Tarvine");
  EXPECT_EQ(extension.toolbarItemToolTip(), "Tarvine");
  EXPECT_EQ(extension.cachedManifest(), nullptr);
  EXPECT_FALSE(extension.cachedManifestDate());
  // A manifest load changes nothing about the toolbar texts.
  tmp.write("QF7T2K9M4R.com.quillfen.tarvine/roots.json",
            R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})");
  EXPECT_NE(extension.loadManifest(), nullptr);
  EXPECT_NE(extension.cachedManifest(), nullptr);
  EXPECT_TRUE(extension.cachedManifestDate());
  EXPECT_EQ(extension.toolbarItemName(), "Tarvine");
}

TEST_F(FinderSyncTest, EachObjectStartsWithItsOwnEmptyCache) {
  tmp.write("QF7T2K9M4R.com.quillfen.tarvine/roots.json",
            R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})");
  FinderSync first(env.services(), ids);
  first.loadManifest();
  FinderSync second(env.services(), ids);
  EXPECT_EQ(second.cachedManifest(), nullptr);
  second.loadManifest();
  EXPECT_EQ(env.fileSystem.calls.reads, 2);  // the second object read the file itself
}

// The Finder makes further extension objects for Open and Save panels and frees
// them in any order; the process's identifier texts must not keep the services
// of the object that computed them (ASan found the container lookup of a later
// object calling into the freed file system of the first).
TEST(FinderSyncLifetimeTest, ALaterObjectWorksAfterTheFirstIsGone) {
  testing::TempDir tmp;
  const std::string home = tmp.path() + "/home";
  tmp.write("QF7T2K9M4R.com.quillfen.tarvine/roots.json",
            R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + home +
                R"(/w","isPaused":false,"mode":"manual"}]})");
  std::filesystem::create_directories(home + "/w");
  const auto folder = FileURL::fromPath(home + "/w", true);
  Identifiers::Memo processTexts;
  {
    auto first = std::make_unique<FakeServices>(tmp.path());
    Identifiers ids(first->bundle, first->fileSystem, processTexts);
    FinderSync extension(first->services(), ids);
    first->host.selection = std::vector<FileURL>{folder};
    ASSERT_FALSE(extension.menuForMenuKind(MenuKind::contextualMenuForItems).items.empty());
  }
  FakeServices second(tmp.path());
  second.bundle.identifier = "ignored.now.FinderSync";  // the texts are the process's
  Identifiers ids(second.bundle, second.fileSystem, processTexts);
  FinderSync extension(second.services(), ids);
  second.host.selection = std::vector<FileURL>{folder};
  EXPECT_FALSE(extension.menuForMenuKind(MenuKind::contextualMenuForItems).items.empty());
  extension.snapshotNow();
  EXPECT_EQ(second.workspace.runningQueries, std::vector<std::string>{"com.quillfen.tarvine"});
  EXPECT_EQ(second.bundle.identifierLookups, 0);
  EXPECT_GE(second.fileSystem.calls.containerLookups, 2);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(
                              tmp.path() + "/QF7T2K9M4R.com.quillfen.tarvine/requests"),
                          std::filesystem::directory_iterator()),
            1);
}

}  // namespace
}  // namespace tarvine
