#include "roots/Keeper.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/posix/PosixFileSystem.h"
#include "shared/RootMatch.h"
#include "tests/support/TempDir.h"

namespace tarvine::roots {
namespace {

namespace fs = std::filesystem;
using Kind = Status::Kind;

class KeeperTest : public ::testing::Test {
 protected:
  KeeperTest() : keeper(Container(tmp.file("container"))) {}

  std::string folder(const std::string& name) {
    fs::create_directories(tmp.file(name));
    return tmp.file(name);
  }
  // The root the extension's menu finds for `path` in the published manifest.
  std::string menuRoot(const std::string& path) {
    std::ifstream in(tmp.file("container/roots.json"));
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    auto manifest = WatchedRootsManifest::decode(text);
    if (!manifest.ok()) return "unreadable";
    for (const Root& root : manifest->roots) {
      const WatchedRootsManifest alone{1, Timestamp(), {root}};
      // The first that holds it, as the menu takes it.
      if (matchTarget(FileURL::fromPath(path, false), alone, files).isWatched) return root.path;
    }
    return "";
  }

  testing::TempDir tmp;
  PosixFileSystem files{tmp.path()};
  Keeper keeper;
};

TEST_F(KeeperTest, AFolderInsideOrAroundAWatchedOneIsRefusedInEitherOrder) {
  const std::string outer = folder("outer"), inner = folder("outer/inner");
  const std::string a = folder("a"), b = folder("a/b");
  ASSERT_TRUE(keeper.watch(outer, RootMode::automatic).ok());
  ASSERT_TRUE(keeper.watch(b, RootMode::automatic).ok());
  for (const std::string& overlapping : {inner, a}) {
    auto watched = keeper.watch(overlapping, RootMode::automatic);
    ASSERT_FALSE(watched.ok()) << overlapping;
    EXPECT_EQ(watched.status().kind(), Kind::refused) << overlapping;
  }
  auto roots = keeper.roots();
  ASSERT_TRUE(roots.ok());
  EXPECT_EQ(roots->size(), 2u);
  // A paused root still holds its history: watching it again resumes it.
  ASSERT_TRUE(keeper.pause(outer).ok());
  auto resumed = keeper.watch(outer, RootMode::automatic);
  ASSERT_TRUE(resumed.ok());
  EXPECT_EQ(resumed->change, Keeper::Watched::Change::resumed);
}

TEST_F(KeeperTest, TheMenuAndTheApplicationFindTheSameRootForNestedRoots) {
  // Nested roots as an earlier version could leave them, outer first.
  const std::string outer = folder("n"), inner = folder("n/in"), other = folder("n/other");
  const std::string precomposed = folder("caf\u00e9");
  Container container(tmp.file("container"));
  ASSERT_TRUE(container
                  .publish({{outer, false, "automatic"},
                            {inner, false, "manual"},
                            {precomposed, false, std::nullopt}})
                  .ok());
  auto roots = keeper.roots();
  ASSERT_TRUE(roots.ok());
  const struct {
    std::string path, root, relative;
  } cases[] = {
      {inner + "/deep/file.txt", inner, "deep/file.txt"},
      {inner, inner, ""},
      {other + "/x", outer, "other/x"},
      {outer, outer, ""},
      // Canonically equivalent text, as the menu compares it.
      {tmp.file("cafe\u0301/notes.txt"), precomposed, "notes.txt"},
  };
  for (const auto& c : cases) {
    auto place = Container::place(*roots, c.path);
    ASSERT_TRUE(place) << c.path;
    EXPECT_EQ(place->root.path, c.root) << c.path;
    EXPECT_EQ(place->relative, c.relative) << c.path;
    EXPECT_EQ(menuRoot(c.path), c.root) << c.path;
  }
  EXPECT_FALSE(Container::place(*roots, tmp.file("elsewhere")));
}

TEST_F(KeeperTest, FailuresCarryAKindThatCallersTest) {
  const std::string root = folder("root");
  std::ofstream(root + "/a.txt") << "one";
  ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  const std::string gone = folder("gone");
  ASSERT_TRUE(keeper.watch(gone, RootMode::manual).ok());
  fs::remove(gone);

  const struct {
    const char* what;
    Status status;
    Kind kind;
  } cases[] = {
      {"outside every root",
       keeper.snapshot(tmp.file("elsewhere"), history::Reason::manual).status(), Kind::notWatched},
      {"only one version", keeper.restore(root + "/a.txt", std::nullopt).status(),
       Kind::noEarlierVersion},
      {"an unknown version", keeper.restore(root + "/a.txt", "0123456789ab").status(),
       Kind::notFound},
      {"a path below a root where a root is asked for", keeper.pack(root + "/a.txt"),
       Kind::notWatched},
      {"a missing root", keeper.snapshot(gone, history::Reason::manual).status(),
       Kind::unavailable},
      {"an unknown root", keeper.pause(tmp.file("elsewhere")), Kind::notWatched},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status.kind(), c.kind) << c.what;

  std::ofstream(tmp.file("container/roots.json"), std::ios::trunc) << "{\"version\": 1, \"ro";
  EXPECT_EQ(keeper.roots().status().kind(), Kind::damaged);
}

// An unmounted disk leaves an empty folder where the root was, or nothing:
// no snapshot records that as everything deleted, the root is listed as
// unavailable, and once it is back it is as it was.
TEST_F(KeeperTest, ARootWhoseDiskIsGoneIsUnavailableUntilItIsBack) {
  const std::string mounted = folder("mounted"), missing = folder("missing");
  const std::string paused = folder("paused");
  for (const std::string& root : {mounted, missing, paused}) {
    std::ofstream(root + "/notes.txt") << "kept in " << root;
  }
  ASSERT_TRUE(keeper.watch(mounted, RootMode::automatic).ok());
  ASSERT_TRUE(keeper.watch(missing, RootMode::manual).ok());
  ASSERT_TRUE(keeper.watch(paused, RootMode::automatic).ok());
  ASSERT_TRUE(keeper.pause(paused).ok());
  auto states = [&] {
    std::map<std::string, Keeper::State> found;
    auto listed = keeper.states();
    EXPECT_TRUE(listed.ok()) << listed.status().message();
    if (listed.ok()) {
      for (const auto& [root, state] : *listed) found[root.path] = state;
    }
    return found;
  };
  using State = Keeper::State;
  EXPECT_EQ(states(),
            (std::map<std::string, State>{
                {mounted, State::automatic}, {missing, State::manual}, {paused, State::paused}}));
  fs::rename(mounted, tmp.file("mounted-away"));
  fs::create_directories(mounted);
  fs::rename(missing, tmp.file("missing-away"));
  for (const std::string& root : {mounted, missing}) {
    auto taken = keeper.snapshot(root, history::Reason::automatic);
    ASSERT_FALSE(taken.ok()) << root;
    EXPECT_EQ(taken.status().kind(), Kind::unavailable) << root;
    EXPECT_EQ(keeper.available(root).kind(), Kind::unavailable) << root;
  }
  auto listing = keeper.versions(mounted + "/notes.txt");
  ASSERT_TRUE(listing.ok()) << listing.status().message();
  EXPECT_EQ(listing->versions.size(), 1u);  // never recorded as deleted
  EXPECT_EQ(states(), (std::map<std::string, State>{{mounted, State::unavailable},
                                                    {missing, State::unavailable},
                                                    {paused, State::paused}}));
  fs::remove(mounted);
  fs::rename(tmp.file("mounted-away"), mounted);
  fs::rename(tmp.file("missing-away"), missing);
  EXPECT_EQ(states(),
            (std::map<std::string, State>{
                {mounted, State::automatic}, {missing, State::manual}, {paused, State::paused}}));
  for (const std::string& root : {mounted, missing}) {
    auto taken = keeper.snapshot(root, history::Reason::automatic);
    ASSERT_TRUE(taken.ok()) << taken.status().message();
    EXPECT_TRUE(taken->snapshot.id.empty()) << root;
  }
}

}  // namespace
}  // namespace tarvine::roots
