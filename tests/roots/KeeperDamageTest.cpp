// A damaged history through the one door: healed when any operation opens
// it and said so to whoever listens (and to the window), and checked root by
// root.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "roots/Keeper.h"
#include "tests/support/TempDir.h"
#include "window/HistoryModel.h"

namespace tarvine::roots {
namespace {

namespace fs = std::filesystem;
using Kind = Status::Kind;

class KeeperDamageTest : public ::testing::Test {
 protected:
  KeeperDamageTest() : keeper(Container(tmp.file("container"))) {
    keeper.onHealed([this](const Keeper::Healing& healing) { told.push_back(healing); });
  }

  // A watched folder with two snapshots.
  std::string watched(const std::string& name) {
    const std::string folder = tmp.file(name);
    fs::create_directories(folder);
    std::ofstream(folder + "/a.txt") << "one";
    EXPECT_TRUE(keeper.watch(folder, RootMode::manual).ok());
    std::ofstream(folder + "/a.txt") << "two, longer";
    EXPECT_TRUE(keeper.snapshot(folder, history::Reason::manual).ok());
    return folder;
  }
  std::string git(const std::string& folder, const std::string& arguments) {
    auto history = keeper.container().history(folder, history::History::Opening::checking);
    if (!history.ok()) return history.status().message();
    const std::string command =
        "git --git-dir=" + (*history)->repository() + " " + arguments + " 2>&1";
    std::string out;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    if (pipe != nullptr) ::pclose(pipe);
    return out.substr(0, out.find('\n'));
  }
  // The newest snapshot's file left empty by a power cut, which ended the boot.
  void damage(const std::string& folder) {
    const std::string repository = git(folder, "rev-parse --absolute-git-dir");
    const std::string blob = git(folder, "rev-parse HEAD:a.txt");
    const std::string file = repository + "/objects/" + blob.substr(0, 2) + "/" + blob.substr(2);
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
    ASSERT_EQ(::truncate(file.c_str(), 0), 0);
    fs::remove(repository + "/" + std::string(history::History::intactTipName));
  }

  testing::TempDir tmp;
  Keeper keeper;
  std::vector<Keeper::Healing> told;
};

TEST_F(KeeperDamageTest, AReaderFindsTheHistoryHealedAndEveryoneIsToldOnce) {
  const std::string folder = watched("root");
  damage(folder);
  window::HistoryModel model(keeper, folder + "/a.txt");
  auto listing = model.load();
  ASSERT_TRUE(listing.ok()) << listing.status().message();
  ASSERT_EQ(listing->rows.size(), 1u);  // the intact one, not "no versions"
  EXPECT_NE(listing->notice.find("damaged"), std::string::npos) << listing->notice;
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].root, folder);
  EXPECT_FALSE(told[0].healed.keptAs.empty());
  // Healed once: nothing more to say.
  auto again = model.load();
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->notice, "");
  EXPECT_EQ(told.size(), 1u);
  EXPECT_TRUE(keeper.snapshot(folder, history::Reason::manual).ok());
}

TEST_F(KeeperDamageTest, ACheckGivesAVerdictForEachRootAndHealsNothing) {
  const std::string whole = watched("whole");
  const std::string damaged = watched("damaged");
  const std::string fresh = tmp.file("fresh");
  fs::create_directories(fresh);
  // Watched by an earlier run that never took a snapshot.
  auto roots = keeper.roots();
  ASSERT_TRUE(roots.ok());
  roots->push_back({fresh, false, "manual"});
  ASSERT_TRUE(keeper.container().publish(*roots).ok());
  damage(damaged);
  const std::string tip = git(damaged, "rev-parse HEAD");

  auto all = keeper.check(std::nullopt);
  ASSERT_TRUE(all.ok()) << all.status().message();
  std::map<std::string, bool> verdicts;
  for (const auto& checked : *all) verdicts[checked.root] = checked.intact();
  EXPECT_EQ(verdicts,
            (std::map<std::string, bool>{{whole, true}, {damaged, false}, {fresh, true}}));
  EXPECT_EQ(git(damaged, "rev-parse HEAD"), tip);
  EXPECT_TRUE(told.empty());

  auto one = keeper.check(damaged);
  ASSERT_TRUE(one.ok());
  ASSERT_EQ(one->size(), 1u);
  EXPECT_FALSE(one->front().intact());
  EXPECT_EQ(keeper.check(tmp.file("elsewhere")).status().kind(), Kind::notWatched);
  EXPECT_EQ(keeper.check(damaged + "/a.txt").status().kind(), Kind::notWatched);
}

}  // namespace
}  // namespace tarvine::roots
