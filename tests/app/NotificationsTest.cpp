// What the application tells the desktop, and when, with a double for the
// desktop: each file left out once for each reason (across restarts), a root
// unavailable and back, failures once until a snapshot succeeds, a history
// repaired, restores with their undo, and nothing while the user has them
// turned off.

#include "app/Notifications.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "roots/Preferences.h"
#include "tests/support/TempDir.h"

namespace tarvine::app {
namespace {

using Kind = history::Skipped::Kind;

class RecordingSender : public NoticeSender {
 public:
  void send(const Notice& notice) override { sent.push_back(notice); }
  void withdraw(const std::string& id) override { withdrawn.push_back(id); }
  std::vector<Notice> sent;
  std::vector<std::string> withdrawn;
};

constexpr const char* kRoot = "/home/u/Docs";

roots::Keeper::Taken taken(std::vector<history::Skipped> skipped, bool whole = true) {
  history::Snapshot snapshot;
  snapshot.id = "0123456789abcdef";
  snapshot.skipped = std::move(skipped);
  snapshot.readWhole = whole;
  return {kRoot, snapshot, Status()};
}

class NotificationsTest : public ::testing::Test {
 protected:
  NotificationsTest() { restart(); }
  // A new run of the application, over the same container.
  void restart() {
    notifications.reset();
    notifications = std::make_unique<Notifications>(sender, tmp.path());
  }
  // The notices sent since the last call.
  std::vector<Notice> sent() { return std::exchange(sender.sent, {}); }
  void turn(bool on) {
    ASSERT_TRUE(
        roots::Preferences::change(roots::Container(tmp.path()), [on](roots::Preferences& p) {
          p.notifications = on;
        }).ok());
  }

  testing::TempDir tmp;
  RecordingSender sender;
  std::unique_ptr<Notifications> notifications;
};

TEST_F(NotificationsTest, TellsEachFileLeftOutOnceForEachReasonAcrossRestarts) {
  const history::Skipped a{"a.txt", Kind::unreadable, "Permission denied", false};
  const history::Skipped b{"sub/b.txt", Kind::unreadable, "Permission denied", true};
  const history::Skipped aChanging{"a.txt", Kind::changedWhileRead, "changed", false};
  const history::Skipped c{"sub/c.txt", Kind::changedWhileRead, "changed", false};
  struct Step {
    const char* what;
    std::vector<history::Skipped> skipped;
    bool whole;
    bool restartFirst;
    std::vector<std::string> told;  // in the notice's body; none: no notice
    std::string opens;              // the folder its click shows
  } steps[] = {
      {"two files left out", {a, b}, true, false, {"a.txt", "sub/b.txt"}, kRoot},
      {"the same two again", {a, b}, true, false, {}, ""},
      {"after a restart", {a, b}, true, true, {}, ""},
      {"a new one, in its folder", {a, b, c}, true, false, {"sub/c.txt"}, "/home/u/Docs/sub"},
      {"a known file, another reason", {aChanging, a, b, c}, true, false, {"a.txt"}, kRoot},
      {"a partial snapshot forgets nothing", {}, false, false, {}, ""},
      {"then one read again", {a, b, c}, false, true, {}, ""},
      {"a whole one forgets the readable", {b}, true, false, {}, ""},
      {"so one unreadable again is told", {a, b}, true, true, {"a.txt"}, kRoot},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.restartFirst) restart();
    notifications->snapshotted(kRoot, taken(step.skipped, step.whole));
    const auto notices = sent();
    if (step.told.empty()) {
      EXPECT_TRUE(notices.empty()) << notices.front().body;
      continue;
    }
    ASSERT_EQ(notices.size(), 1u);
    const Notice& notice = notices.front();
    EXPECT_EQ(notice.id, std::string("unreadable:") + kRoot);
    EXPECT_EQ(notice.click.name, Notifications::showFolderAction);
    EXPECT_EQ(notice.click.path, step.opens);
    std::size_t lines = 1;
    for (char ch : notice.body) lines += ch == '\n';
    EXPECT_EQ(lines, step.told.size()) << notice.body;
    for (const std::string& file : step.told) {
      EXPECT_NE(notice.body.find(file + " ("), std::string::npos) << notice.body;
    }
  }
}

TEST_F(NotificationsTest, TellsARootUnavailableAndBackOnceEach) {
  const Status gone = Status::failure(Status::Kind::unavailable, "not mounted");
  const Status damaged = Status::failure(Status::Kind::damaged, "bad object");
  const Status full = Status::failure(Status::Kind::io, "write failed", ENOSPC);
  struct Step {
    const char* what;
    std::optional<Status> available;        // an availability answer, or else
    std::optional<Status> snapshotFailure;  // a snapshot (ok without a failure)
    bool restartFirst;
    std::string title;  // of the notice sent; empty: none
    bool urgent;
  } steps[] = {
      {"it goes", gone, std::nullopt, false, "Docs is not available", false},
      {"its snapshot fails for it", std::nullopt, gone, false, "", false},
      {"still gone after a restart", gone, std::nullopt, true, "", false},
      {"back", Status(), std::nullopt, false, "Docs is back", false},
      {"there, still", Status(), std::nullopt, false, "", false},
      {"a full disk", std::nullopt, full, false, "No snapshot of Docs: the disk is full", true},
      {"a full disk again", std::nullopt, full, true, "", false},
      {"a damaged history", std::nullopt, damaged, false,
       "No snapshot of Docs: its history is damaged", true},
      {"gone while failing", gone, std::nullopt, false, "Docs is not available", false},
      {"back by a snapshot", std::nullopt, std::nullopt, false, "Docs is back", false},
      {"a full disk once more", std::nullopt, full, false, "No snapshot of Docs: the disk is full",
       true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.restartFirst) restart();
    if (step.available) {
      notifications->availability(kRoot, *step.available);
    } else if (step.snapshotFailure) {
      notifications->snapshotted(kRoot, *step.snapshotFailure);
    } else {
      notifications->snapshotted(kRoot, taken({}));
    }
    const auto notices = sent();
    if (step.title.empty()) {
      EXPECT_TRUE(notices.empty()) << notices.front().title;
      continue;
    }
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices.front().title, step.title);
    EXPECT_EQ(notices.front().urgent, step.urgent);
    EXPECT_EQ(notices.front().click.name, Notifications::showRootAction);
    EXPECT_EQ(notices.front().click.path, kRoot);
  }
  // The failure told is taken back by the snapshot that succeeded.
  EXPECT_EQ(sender.withdrawn, std::vector<std::string>{std::string("snapshot:") + kRoot});
  // A history repaired as it was opened: told each time, it is news each time.
  notifications->healed({kRoot, {"d", "tarvine-damaged/tips/1", "0123456789abcdef0", "bad"}});
  const auto notices = sent();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices.front().title, "The history of Docs was repaired");
  EXPECT_NE(notices.front().body.find("0123456789ab,"), std::string::npos);
  EXPECT_TRUE(notices.front().urgent);
  EXPECT_EQ(notices.front().click.path, kRoot);
}

TEST_F(NotificationsTest, TellsNothingWhileTurnedOffAndRemembersNoFileMeanwhile) {
  const history::Skipped a{"a.txt", Kind::unreadable, "Permission denied", false};
  turn(false);
  notifications->availability(kRoot, Status::failure(Status::Kind::unavailable, "gone"));
  notifications->snapshotted(kRoot, taken({a}));
  notifications->restored("/home/u/Docs/a.txt", history::Restored{});
  EXPECT_TRUE(sent().empty());
  // Turned on, from another process: read again without a restart.
  turn(true);
  notifications->snapshotted(kRoot, taken({a}));
  const auto notices = sent();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices.front().id, std::string("unreadable:") + kRoot);
  turn(false);
  notifications->snapshotted(kRoot, Status::failure(Status::Kind::damaged, "bad"));
  EXPECT_TRUE(sent().empty());
}

TEST_F(NotificationsTest, TellsARestoreWithWhatItWroteAndItsUndo) {
  const std::string path = "/home/u/Docs/sub";
  history::Restored restored;
  restored.undo = "feedc0de";
  for (int i = 0; i < 7; ++i) restored.written.push_back("sub/" + std::to_string(i) + ".txt");
  restored.notReplaced = {"sub/locked.txt: Permission denied"};
  notifications->restored(path, restored);
  notifications->restored(path, restored, /*undoing=*/true);
  notifications->restored(path, Status::failure(Status::Kind::noEarlierVersion, "none"));
  const auto notices = sent();
  ASSERT_EQ(notices.size(), 3u);
  const Notice& done = notices[0];
  EXPECT_EQ(done.title, "Restored sub");
  EXPECT_EQ(done.click.name, Notifications::showHistoryAction);
  EXPECT_EQ(done.click.path, path);
  ASSERT_TRUE(done.button);
  EXPECT_EQ(done.button->second.name, Notifications::undoRestoreAction);
  EXPECT_EQ(done.button->second.path, path);
  EXPECT_EQ(done.button->second.version, "feedc0de");
  // Five files named, two counted, and the one left as it was.
  EXPECT_NE(done.body.find("7 files written"), std::string::npos) << done.body;
  EXPECT_NE(done.body.find("sub/4.txt"), std::string::npos) << done.body;
  EXPECT_EQ(done.body.find("sub/5.txt"), std::string::npos) << done.body;
  EXPECT_NE(done.body.find("and 2 more"), std::string::npos) << done.body;
  EXPECT_NE(done.body.find("sub/locked.txt"), std::string::npos) << done.body;
  // The undo replaces it, and offers no undo of its own.
  EXPECT_EQ(notices[1].id, done.id);
  EXPECT_EQ(notices[1].title, "Undone: sub");
  EXPECT_FALSE(notices[1].button);
  EXPECT_EQ(notices[2].title, "Could not restore sub");
  EXPECT_TRUE(notices[2].urgent);
  EXPECT_FALSE(notices[2].button);
}

}  // namespace
}  // namespace tarvine::app
