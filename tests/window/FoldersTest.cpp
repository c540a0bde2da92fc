#include "window/Folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.h"

namespace tarvine::window {
namespace {

namespace fs = std::filesystem;
using State = Folders::State;

class FoldersTest : public ::testing::Test {
 protected:
  FoldersTest() : keeper(roots::Container(tmp.file("container"))), folders(keeper) {}

  std::string folder(const std::string& name) {
    tmp.write(name + "/a.txt", "one");
    return tmp.file(name);
  }
  const Folders::Row* row(const std::vector<Folders::Row>& rows, const std::string& path) {
    for (const Folders::Row& row : rows) {
      if (row.path == path) return &row;
    }
    return nullptr;
  }

  testing::TempDir tmp;
  roots::Keeper keeper;
  Folders folders;
};

// Each state a folder can be in, as the list says it: what it holds, and a
// problem in words only where something is wrong.
TEST_F(FoldersTest, EachStateShowsWithItsVersionsSizeAndProblem) {
  const std::string automatic = folder("auto"), manual = folder("manual"),
                    paused = folder("paused"), gone = folder("gone"), damaged = folder("damaged");
  for (const std::string& root : {automatic, paused, gone, damaged}) {
    ASSERT_TRUE(folders.add(root).ok()) << root;
  }
  ASSERT_TRUE(keeper.watch(manual, RootMode::manual).ok());
  tmp.write("manual/a.txt", "two");
  ASSERT_TRUE(folders.snapshot(manual).ok());
  ASSERT_TRUE(folders.pause(paused).ok());
  fs::remove_all(gone);
  // Damaged beyond what reading it repairs.
  std::ofstream(keeper.container().store(damaged) + "/HEAD", std::ios::trunc) << "garbage\n";
  auto rows = folders.load();
  ASSERT_TRUE(rows.ok()) << rows.status().message();
  ASSERT_EQ(rows->size(), 5u);
  const struct {
    std::string path;
    State state;
    const char* stateText;
    std::size_t versions;
    bool problem;
  } cases[] = {
      {automatic, State::automatic, "Automatic", 1, false},
      {manual, State::manual, "Manual", 2, false},
      {paused, State::paused, "Paused", 1, false},
      {gone, State::unavailable, "Unavailable", 1, true},
      {damaged, State::damaged, "Damaged", 0, true},
  };
  for (const auto& expected : cases) {
    const Folders::Row* got = row(*rows, expected.path);
    ASSERT_NE(got, nullptr) << expected.path;
    EXPECT_EQ(got->name, fs::path(expected.path).filename().string());
    EXPECT_EQ(got->state, expected.state) << expected.path;
    EXPECT_EQ(got->stateText, expected.stateText);
    EXPECT_EQ(got->automatic, expected.path != manual) << expected.path;
    EXPECT_EQ(got->problem.empty(), !expected.problem) << expected.path << ": " << got->problem;
    // What is shown is what `tarvine roots` counts.
    EXPECT_NE(got->size, "0 bytes") << expected.path;
    if (expected.state == State::damaged) continue;
    EXPECT_EQ(got->versions, expected.versions) << expected.path;
    EXPECT_EQ(got->when, "just now") << expected.path;
    EXPECT_FALSE(got->at.empty());
    EXPECT_NE(got->label.find(got->name + ", " + expected.stateText + ", "), std::string::npos)
        << got->label;
  }
  // What its problem says to do brings it back.
  EXPECT_NE(row(*rows, damaged)->problem.find("stop watching"), std::string::npos);
  ASSERT_TRUE(folders.stopWatching(damaged, /*deleteHistory=*/true).ok());
  ASSERT_TRUE(folders.add(damaged).ok());
  rows = folders.load();
  ASSERT_TRUE(rows.ok());
  EXPECT_EQ(row(*rows, damaged)->state, State::automatic);
  EXPECT_EQ(row(*rows, damaged)->problem, "");
  EXPECT_EQ(row(*rows, damaged)->versions, 1u);
}

// What the window's controls do, read back as the command line reads it.
TEST_F(FoldersTest, ControlsChangeWhatTheCommandLineSees) {
  const std::string root = folder("docs");
  ASSERT_TRUE(folders.add(root).ok());
  EXPECT_EQ(folders.add(tmp.file("docs/inner")).status().kind(), Status::Kind::notFound);
  fs::create_directories(tmp.file("docs/inner"));
  EXPECT_EQ(folders.add(tmp.file("docs/inner")).status().kind(), Status::Kind::refused);

  const auto stateOf = [&]() {
    auto states = keeper.states();
    return states.ok() && states->size() == 1 ? states->front().state
                                              : roots::Keeper::State::unavailable;
  };
  using Kept = roots::Keeper::State;
  ASSERT_TRUE(folders.setAutomatic(root, false).ok());
  EXPECT_EQ(stateOf(), Kept::manual);
  ASSERT_TRUE(folders.pause(root).ok());
  EXPECT_EQ(stateOf(), Kept::paused);
  ASSERT_TRUE(folders.resume(root).ok());
  EXPECT_EQ(stateOf(), Kept::manual);  // resumed in the mode it had

  // Retention as `tarvine keep` takes it; what cannot be read is refused.
  for (const Folders::Retention& bad :
       {Folders::Retention{"all:1x", "none"}, Folders::Retention{"all:1d", "lots"}}) {
    EXPECT_EQ(folders.setRetention(root, bad).status().kind(), Status::Kind::invalid);
  }
  ASSERT_TRUE(folders.setRetention(root, {"all:1d,1h:7d", "500M"}).ok());
  auto kept = keeper.retention(root);
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(kept->retention.sizeLimit, std::optional<std::uint64_t>(500ull << 20));
  auto shown = folders.retention(root);
  ASSERT_TRUE(shown.ok());
  EXPECT_EQ(shown->tiers, kept->retention.text());
  EXPECT_EQ(shown->sizeLimit, "500M");

  // Stop watching: the history kept, then deleted.
  const std::string store = keeper.container().store(root);
  ASSERT_TRUE(folders.stopWatching(root, /*deleteHistory=*/false).ok());
  EXPECT_TRUE(fs::exists(store));
  auto rows = folders.load();
  ASSERT_TRUE(rows.ok());
  EXPECT_TRUE(rows->empty());
  ASSERT_TRUE(folders.add(root).ok());
  ASSERT_TRUE(folders.stopWatching(root, /*deleteHistory=*/true).ok());
  EXPECT_FALSE(fs::exists(store));
  auto orphans = keeper.orphans();
  ASSERT_TRUE(orphans.ok());
  EXPECT_TRUE(orphans->empty());
}

// A mirror as the settings show it: before its first push, up to date,
// behind, and after a push that failed because its disk went, with why.
TEST_F(FoldersTest, MirrorsSayHowTheirPushesWent) {
  const std::string root = folder("docs");
  ASSERT_TRUE(folders.add(root).ok());
  fs::create_directories(tmp.file("disk"));
  const std::string url = tmp.file("disk/docs.git");
  ASSERT_TRUE(folders.addMirror(root, url).ok());
  const auto status = [&]() -> std::string {
    auto rows = folders.mirrors(root);
    if (!rows.ok()) return rows.status().message();
    if (rows->size() != 1 || rows->front().url != url) return "not one mirror";
    EXPECT_EQ(rows->front().label, url + ", " + rows->front().status);
    return rows->front().status;
  };
  EXPECT_EQ(status(), "not pushed yet");
  double sent = 0;
  ASSERT_TRUE(folders.pushMirror(root, url, [&](double fraction) { sent = fraction; }).ok());
  EXPECT_EQ(sent, 1.0);
  EXPECT_TRUE(status().starts_with("last pushed just now (")) << status();
  EXPECT_TRUE(status().ends_with(", up to date")) << status();
  tmp.write("docs/b.txt", "two");
  ASSERT_TRUE(folders.snapshot(root).ok());
  EXPECT_TRUE(status().ends_with(", 1 snapshot not pushed yet")) << status();

  fs::rename(tmp.file("disk"), tmp.file("unplugged"));
  auto failed = folders.pushMirror(root, url);
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(status().find(", 1 snapshot not pushed yet. 1 failed push, the last: " +
                          failed.status().message()),
            std::string::npos)
      << status();
  // The list says it too, with what to do.
  auto rows = folders.load();
  ASSERT_TRUE(rows.ok());
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_NE(rows->front().problem.find("Its mirror " + url + " failed 1 push (" +
                                       failed.status().message() + ")"),
            std::string::npos)
      << rows->front().problem;

  // Brought back only into an empty or new folder.
  fs::rename(tmp.file("unplugged"), tmp.file("disk"));
  EXPECT_FALSE(folders.adopt(url, folder("full")).ok());
  ASSERT_TRUE(folders.removeMirror(root, url).ok());
  auto none = folders.mirrors(root);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace tarvine::window
