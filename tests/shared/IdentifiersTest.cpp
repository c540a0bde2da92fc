#include "shared/Identifiers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

using testing::FakeServices;
using testing::TempDir;

class IdentifiersTest : public ::testing::Test {
 protected:
  std::string mainAppFor(std::optional<std::string> bundleIdentifier) {
    env.bundle.identifier = std::move(bundleIdentifier);
    Identifiers ids(env.bundle, env.fileSystem);
    return ids.mainAppBundleIdentifier();
  }
  std::string groupFor(std::optional<PropertyListValue> value) {
    env.bundle.info.clear();
    if (value) env.bundle.info["QuillfenAppGroup"] = *value;
    Identifiers ids(env.bundle, env.fileSystem);
    return ids.appGroupIdentifier();
  }

  TempDir tmp;
  FakeServices env{tmp.path()};
};

TEST_F(IdentifiersTest, MainAppIdentifierDropsTheLastComponent) {
  EXPECT_EQ(mainAppFor("a.b.c.FinderSync"), "a.b.c");
  EXPECT_EQ(mainAppFor(".a..b.c."), "a.b");
  EXPECT_EQ(mainAppFor("nodots"), "");
  EXPECT_EQ(mainAppFor(""), "");
  EXPECT_EQ(mainAppFor("a.b.NotFinderSync"), "a.b");  // the dropped piece is not checked
  EXPECT_EQ(mainAppFor(std::nullopt), "com.quillfen.tarvine");
}

TEST_F(IdentifiersTest, AppGroupTakesOnlyANonEmptyString) {
  EXPECT_EQ(groupFor(std::nullopt), "QF7T2K9M4R.com.quillfen.tarvine");
  EXPECT_EQ(groupFor(PropertyListValue{std::string("T.custom")}), "T.custom");
  EXPECT_EQ(groupFor(PropertyListValue{std::string(" padded ")}), " padded ");
  EXPECT_EQ(groupFor(PropertyListValue{std::string("")}), "QF7T2K9M4R.com.quillfen.tarvine");
  EXPECT_EQ(groupFor(PropertyListValue{std::int64_t{42}}), "QF7T2K9M4R.com.quillfen.tarvine");
  EXPECT_EQ(groupFor(PropertyListValue{
                PropertyListValue::Array{PropertyListValue{std::string("T.custom")}}}),
            "QF7T2K9M4R.com.quillfen.tarvine");
}

TEST_F(IdentifiersTest, IdentifiersAreComputedOnceAndKept) {
  env.bundle.identifier = "x.y.FinderSync";
  env.bundle.info["QuillfenAppGroup"] = PropertyListValue{std::string("G.one")};
  Identifiers ids(env.bundle, env.fileSystem);
  EXPECT_EQ(ids.mainAppBundleIdentifier(), "x.y");
  EXPECT_EQ(ids.appGroupIdentifier(), "G.one");
  env.bundle.identifier = "changed.FinderSync";
  env.bundle.info["QuillfenAppGroup"] = PropertyListValue{std::string("G.two")};
  EXPECT_EQ(ids.mainAppBundleIdentifier(), "x.y");
  EXPECT_EQ(ids.appGroupIdentifier(), "G.one");
  EXPECT_EQ(env.bundle.identifierLookups, 1);
  EXPECT_EQ(env.bundle.infoLookups, 1);
}

// Run under ThreadSanitizer by `make check`: every round starts all threads at
// once on a fresh object, so the first uses of both identifiers race.
TEST_F(IdentifiersTest, ManyThreadsAskForBothIdentifiersAtOnce) {
  constexpr int kThreads = 16;
  for (int round = 0; round < 50; ++round) {
    env.bundle.identifierLookups = env.bundle.infoLookups = 0;
    Identifiers ids(env.bundle, env.fileSystem);
    std::latch start(kThreads);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        bool groupFirst = i % 2 == 0;
        if (groupFirst && ids.appGroupIdentifier() != "QF7T2K9M4R.com.quillfen.tarvine")
          ++mismatches;
        if (ids.mainAppBundleIdentifier() != "com.quillfen.tarvine") ++mismatches;
        if (ids.appGroupIdentifier() != "QF7T2K9M4R.com.quillfen.tarvine") ++mismatches;
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(mismatches, 0);
    ASSERT_EQ(env.bundle.identifierLookups, 1);
    ASSERT_EQ(env.bundle.infoLookups, 1);
  }
}

TEST_F(IdentifiersTest, ContainerIsAskedAfreshEveryTime) {
  Identifiers ids(env.bundle, env.fileSystem);
  EXPECT_FALSE(ids.sharedContainerURL());
  EXPECT_FALSE(ids.sharedContainerURL());
  std::filesystem::create_directory(tmp.file("QF7T2K9M4R.com.quillfen.tarvine"));
  auto url = ids.sharedContainerURL();
  ASSERT_TRUE(url);
  EXPECT_EQ(url->path(), tmp.file("QF7T2K9M4R.com.quillfen.tarvine"));
  EXPECT_EQ(env.fileSystem.calls.containerLookups, 3);
}

}  // namespace
}  // namespace tarvine
