#include "shared/ManifestLoader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <filesystem>

#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

using testing::FakeServices;
using testing::TempDir;

std::string manifestText(const std::string& rootPath, int version = 1) {
  return R"({"version":)" + std::to_string(version) +
         R"(,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + rootPath +
         R"(","isPaused":false}]})";
}

class ManifestLoaderTest : public ::testing::Test {
 protected:
  ManifestLoaderTest() { std::filesystem::create_directory(container()); }

  std::string container() const { return tmp.file("QF7T2K9M4R.com.quillfen.tarvine"); }
  std::string manifestPath() const { return container() + "/roots.json"; }

  void publish(const std::string& text, std::int64_t mtimeSeconds, long nanos = 0) {
    tmp.write("QF7T2K9M4R.com.quillfen.tarvine/roots.json", text);
    setDate(mtimeSeconds, nanos);
  }
  void setDate(std::int64_t seconds, long nanos) {
    timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), nanos}};
    ASSERT_EQ(::utimensat(AT_FDCWD, manifestPath().c_str(), times, 0), 0);
  }
  std::string firstRoot(const std::shared_ptr<const WatchedRootsManifest>& m) {
    return m && !m->roots.empty() ? m->roots[0].path : "<none>";
  }
  enum class State { Empty, Dated, Undated, Invalid };
  State state() const {
    bool m = loader.cachedManifest() != nullptr;
    bool d = loader.cachedManifestDate().has_value();
    if (m && d) return State::Dated;
    if (m) return State::Undated;
    return d ? State::Invalid : State::Empty;
  }

  TempDir tmp;
  FakeServices env{tmp.path()};
  Identifiers ids{env.bundle, env.fileSystem};
  ManifestLoader loader{ids, env.fileSystem};
};

TEST_F(ManifestLoaderTest, ServesTheCacheWhileTheDateIsUnchanged) {
  publish(manifestText("/one"), 1'700'000'000, 5);
  EXPECT_EQ(state(), State::Empty);
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/one");
  EXPECT_EQ(state(), State::Dated);
  EXPECT_EQ(loader.cachedManifestDate(), Timestamp::fromUnix(1'700'000'000, 5));
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/one");
  EXPECT_EQ(env.fileSystem.calls.reads, 1);
  EXPECT_EQ(env.fileSystem.calls.dateQueries, 2);
}

TEST_F(ManifestLoaderTest, SameDateNewContentServesTheStaleCopy) {
  publish(manifestText("/one"), 1'700'000'000, 5);
  loader.loadManifest();
  publish(manifestText("/two"), 1'700'000'000, 5);
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/one");
  // One nanosecond later is a change.
  setDate(1'700'000'000, 6);
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/two");
}

TEST_F(ManifestLoaderTest, DateMovingBackwardsReloads) {
  publish(manifestText("/one"), 1'700'000'000);
  loader.loadManifest();
  publish(manifestText("/older"), 1'600'000'000);
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/older");
  EXPECT_EQ(loader.cachedManifestDate(), Timestamp::fromUnix(1'600'000'000));
}

TEST_F(ManifestLoaderTest, MissingOrMalformedFileEmptiesTheCache) {
  EXPECT_EQ(loader.loadManifest(), nullptr);
  EXPECT_EQ(state(), State::Empty);
  publish(manifestText("/one"), 1'700'000'000);
  loader.loadManifest();
  publish("{ not json", 1'700'000'100);
  EXPECT_EQ(loader.loadManifest(), nullptr);
  EXPECT_EQ(state(), State::Empty);
  publish(manifestText("/fixed"), 1'700'000'200);
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/fixed");
  std::filesystem::remove(manifestPath());
  EXPECT_EQ(loader.loadManifest(), nullptr);
  EXPECT_EQ(state(), State::Empty);
}

TEST_F(ManifestLoaderTest, WithoutADateEveryCallReloads) {
  publish(manifestText("/one"), 1'700'000'000);
  env.fileSystem.faults.failDate = true;
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/one");
  EXPECT_EQ(state(), State::Undated);
  publish(manifestText("/two"), 1'700'000'000);
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/two");
  EXPECT_EQ(env.fileSystem.calls.reads, 2);
  // Dated again as soon as the date is back; an absent date never equals a present one.
  env.fileSystem.faults.failDate = false;
  loader.loadManifest();
  EXPECT_EQ(state(), State::Dated);
  EXPECT_EQ(env.fileSystem.calls.reads, 3);
}

TEST_F(ManifestLoaderTest, MissingContainerLeavesTheCacheAlone) {
  publish(manifestText("/one"), 1'700'000'000);
  loader.loadManifest();
  env.fileSystem.faults.container = std::optional<FileURL>();
  EXPECT_EQ(loader.loadManifest(), nullptr);
  EXPECT_EQ(state(), State::Dated);
  EXPECT_EQ(env.fileSystem.calls.dateQueries, 1);
  env.fileSystem.faults.container.reset();
  EXPECT_EQ(firstRoot(loader.loadManifest()), "/one");
  EXPECT_EQ(env.fileSystem.calls.reads, 1);
}

TEST_F(ManifestLoaderTest, UnreadableFileEmptiesTheCache) {
  publish(manifestText("/one"), 1'700'000'000);
  loader.loadManifest();
  setDate(1'700'000'001, 0);
  env.fileSystem.faults.readError = EIO;
  EXPECT_EQ(loader.loadManifest(), nullptr);
  EXPECT_EQ(state(), State::Empty);
}

TEST_F(ManifestLoaderTest, NotARegularFileIsAnAbsentManifest) {
  ASSERT_EQ(::mkfifo(manifestPath().c_str(), 0600), 0);
  EXPECT_EQ(loader.loadManifest(), nullptr);  // returns instead of waiting for a writer
  std::filesystem::remove(manifestPath());
  std::filesystem::create_symlink("/dev/zero", manifestPath());
  EXPECT_EQ(loader.loadManifest(), nullptr);
  EXPECT_EQ(state(), State::Empty);
}

TEST_F(ManifestLoaderTest, AnyVersionAndEmptyRootsAreCachedLikeAnyOther) {
  for (int version : {0, 1, 99}) {
    publish(manifestText("/v", version), 1'700'000'000 + version);
    auto m = loader.loadManifest();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->version, version);
  }
  publish(R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[]})", 1'800'000'000);
  auto empty = loader.loadManifest();
  ASSERT_NE(empty, nullptr);
  EXPECT_TRUE(empty->roots.empty());
  EXPECT_EQ(state(), State::Dated);
}

TEST_F(ManifestLoaderTest, CallersKeepTheirCopyWhenTheCacheChanges) {
  publish(manifestText("/one"), 1'700'000'000);
  auto held = loader.loadManifest();
  publish(manifestText("/two"), 1'700'000'100);
  loader.loadManifest();
  std::filesystem::remove(manifestPath());
  loader.loadManifest();
  EXPECT_EQ(firstRoot(held), "/one");
}

}  // namespace
}  // namespace tarvine
