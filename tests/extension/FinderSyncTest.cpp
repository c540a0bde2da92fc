#include "extension/FinderSync.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvine
