// A history that a power cut damaged says so and heals to its newest intact
// snapshot; what killed writers leave is removed; the branch's every move is
// logged where stock git reads it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/history/DurableStore.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;
using Kind = Status::Kind;
using Opening = History::Opening;

std::string versionOf(History& history, const std::string& id, const std::string& relative) {
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return "no temporary file";
  std::string content;
  if (history.writeFileVersion(id, relative, ::fileno(out)).ok()) {
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;) content += static_cast<char>(c);
  }
  std::fclose(out);
  return content;
}

TEST(DurableTest, ADamagedNewestSnapshotHealsToTheNewestIntactOne) {
  // What a power cut can leave empty of the newest snapshot, as a revision
  // of it; "" for the branch's own file.
  const struct {
    const char* name;
    const char* damaged;
  } cases[] = {
      {"its commit", "HEAD"},   {"its root folder", "HEAD^{tree}"},
      {"a folder", "HEAD:dir"}, {"a file", "HEAD:dir/b.txt"},
      {"the branch", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Store store;
    store.write("a.txt", "one");
    store.write("dir/b.txt", "b1");
    const std::string first = store.snap();
    store.write("dir/b.txt", "b2");
    store.write("c.txt", "new");
    const std::string second = store.snap();
    ASSERT_FALSE(first.empty() || second.empty());
    const bool branchLost = std::string(c.damaged).empty();
    store.empty(branchLost ? store.repository + "/" + store.branch()
                           : store.objectFile(std::string(c.damaged)));
    store.reboot();

    // A reader is told, rather than shown a history of nothing.
    auto read = store.open(Opening::reading);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.status().kind(), Kind::damaged);

    auto opened = store.open(Opening::writing);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    History& history = **opened;
    ASSERT_TRUE(history.healed().has_value());
    const Healed& healed = *history.healed();
    // The branch's log names the newest snapshot: whole, when only the
    // branch's own file was lost.
    const std::string intact = branchLost ? second : first;
    EXPECT_EQ(healed.tip, intact);
    EXPECT_FALSE(healed.why.empty());
    if (branchLost) {
      EXPECT_EQ(healed.damaged, "");
      EXPECT_EQ(healed.keptAs, "");
    } else {
      EXPECT_EQ(healed.damaged, second);
      EXPECT_EQ(store.keptAside(healed.keptAs), second);
    }
    auto versions = history.versions("");
    ASSERT_TRUE(versions.ok()) << versions.status().message();
    ASSERT_EQ(versions->size(), branchLost ? 2u : 1u);
    EXPECT_EQ(versions->front().id, intact);

    // The next snapshot records the folder whole again, after the intact one.
    store.write("d.txt", "after");
    auto next = history.snapshot(Reason::manual);
    ASSERT_TRUE(next.ok()) << next.status().message();
    EXPECT_EQ(versionOf(history, next->id, "dir/b.txt"), "b2");
    EXPECT_EQ(versionOf(history, next->id, "c.txt"), "new");
    EXPECT_EQ(store.id("HEAD^"), intact);
    bool whole = false;
    // Every log and reference included: nothing names what was set aside.
    const std::string fsck = store.git("fsck --strict --no-dangling", &whole);
    EXPECT_TRUE(whole) << fsck;
    // Healed once: the next open finds nothing to say.
    auto again = store.open(Opening::reading);
    ASSERT_TRUE(again.ok()) << again.status().message();
    EXPECT_FALSE((*again)->healed().has_value());
  }
}

TEST(DurableTest, WithNoIntactSnapshotTheHistoryStartsAgainAndTheDamagedOneIsKept) {
  Store store;
  store.write("a.txt", "one");
  const std::string only = store.snap();
  store.empty(store.objectFile("HEAD^{tree}"));
  store.reboot();
  auto read = store.open(Opening::reading);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.status().kind(), Kind::damaged);
  auto opened = store.open();
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  ASSERT_TRUE((*opened)->healed().has_value());
  EXPECT_EQ((*opened)->healed()->tip, "");
  EXPECT_EQ(store.keptAside((*opened)->healed()->keptAs), only);
  auto next = (*opened)->snapshot(Reason::manual);
  ASSERT_TRUE(next.ok()) << next.status().message();
  EXPECT_EQ(versionOf(**opened, next->id, "a.txt"), "one");
  EXPECT_EQ(store.git("rev-list --count HEAD"), "1\n");
  bool whole = false;
  const std::string fsck = store.git("fsck --strict --no-dangling", &whole);
  EXPECT_TRUE(whole) << fsck;
  auto reopened = store.open(Opening::reading);
  ASSERT_TRUE(reopened.ok()) << reopened.status().message();
  EXPECT_FALSE((*reopened)->healed().has_value());
}

// An earlier version kept a damaged snapshot as a reference, which stock git
// finds pointing at what is missing: the next writer names it in a file.
TEST(DurableTest, ADamagedSnapshotKeptAsAReferenceIsMovedWhereGitDoesNotLook) {
  Store store;
  store.write("a.txt", "one");
  const std::string first = store.snap();
  store.write("a.txt", "two");
  const std::string second = store.snap();
  const std::string log = store.repository + "/logs/" + store.branch();
  std::ofstream(log, std::ios::app)
      << second << " " << first << " t <t@t> 1 +0000\tback to the newest intact snapshot\n";
  std::filesystem::create_directories(store.repository + "/refs/tarvine/damaged");
  std::ofstream(store.repository + "/refs/tarvine/damaged/20260101T000000Z") << second << "\n";
  std::ofstream(store.repository + "/" + store.branch()) << first << "\n";
  std::filesystem::remove(store.objectFile(second));
  bool whole = false;
  store.git("fsck --strict --no-dangling", &whole);
  ASSERT_FALSE(whole);

  auto opened = store.open();
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  const std::string fsck = store.git("fsck --strict --no-dangling", &whole);
  EXPECT_TRUE(whole) << fsck;
  auto report = (*opened)->check();
  ASSERT_TRUE(report.ok());
  ASSERT_EQ(report->keptAside.size(), 1u);
  EXPECT_EQ(store.keptAside(report->keptAside[0]), second);
}

// A killed snapshot can leave an object that was named but never synced: a
// power cut then empties it. Taken for the content it names, it would damage
// every snapshot that holds that content.
TEST(DurableTest, AnObjectLeftEmptyIsStoredAgainRatherThanTakenForItsContent) {
  Store store;
  store.write("a.txt", "one");
  store.snap();
  store.write("b.txt", "hello\n");
  bool hashed = false;
  std::string blob = store.git("hash-object " + store.root + "/b.txt", &hashed);
  ASSERT_TRUE(hashed) << blob;
  blob = blob.substr(0, 40);
  const std::string file =
      store.repository + "/objects/" + blob.substr(0, 2) + "/" + blob.substr(2);
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream{file};  // named, and empty
  const std::string next = store.snap();
  ASSERT_FALSE(next.empty());
  bool readable = false;
  EXPECT_EQ(store.git("cat-file -p " + next + ":b.txt", &readable), "hello\n");
  EXPECT_TRUE(readable);
  bool whole = false;
  const std::string fsck = store.git("fsck --strict --no-dangling", &whole);
  EXPECT_TRUE(whole) << fsck;
}

TEST(DurableTest, WhatKilledWritersLeftIsRemovedByTheNextWriterOnly) {
  Store store;
  store.write("a.txt", "one");
  store.snap();
  const char* leftovers[] = {
      "objects/tmp_object_git2_4f1c2a",       // libgit2's loose object being written
      "objects/pack/pack_git2_8d2e11",        // libgit2's pack being written
      "objects/pack/pack_git2_8d2eidx.lock",  // and its index
      "objects/pack/tmp_pack_X1y2Z3",         // stock git's
      "objects/pack/tmp_idx_X1y2Z3",
  };
  for (const char* leftover : leftovers) {
    fs::create_directories(fs::path(store.repository + "/" + leftover).parent_path());
    std::ofstream(store.repository + "/" + leftover) << std::string(4096, 'x');
  }
  ASSERT_TRUE(store.open(Opening::reading).ok());
  for (const char* leftover : leftovers) {
    EXPECT_TRUE(fs::exists(store.repository + "/" + leftover)) << "a reader removed " << leftover;
  }
  ASSERT_TRUE(store.open(Opening::writing).ok());
  for (const char* leftover : leftovers) {
    EXPECT_FALSE(fs::exists(store.repository + "/" + leftover)) << leftover << " was left";
  }
  bool whole = false;
  const std::string fsck = store.git("fsck --strict --no-dangling", &whole);
  EXPECT_TRUE(whole) << fsck;
}

TEST(DurableTest, EveryMoveOfTheBranchIsLoggedWhereStockGitReadsIt) {
  Store store;
  std::vector<std::string> snapshots;
  for (const char* content : {"one", "two", "three"}) {
    store.write("a.txt", content);
    snapshots.push_back(store.snap());
  }
  bool read = false;
  const std::string log = store.git("reflog show --format=%H " + store.branch(), &read);
  ASSERT_TRUE(read) << log;
  EXPECT_EQ(log, snapshots[2] + "\n" + snapshots[1] + "\n" + snapshots[0] + "\n");
  EXPECT_EQ(store.git("config core.logAllRefUpdates"), "always\n");
  // A store made by an earlier version logs from its next writer on.
  store.git("config --unset core.logAllRefUpdates");
  ASSERT_TRUE(store.open(Opening::reading).ok());
  EXPECT_EQ(store.git("config core.logAllRefUpdates"), "");
  ASSERT_TRUE(store.open(Opening::writing).ok());
  EXPECT_EQ(store.git("config core.logAllRefUpdates"), "always\n");
}

}  // namespace
}  // namespace tarvine::history
