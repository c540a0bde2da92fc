// The application's mirrors as its main loop pushes them: a timer of a few
// milliseconds instead of a minute, a clock the test sets, a real Keeper and
// a bare repository in another folder (the "disk"). Each step runs the loop
// until one look at the roots has been worked through.

#include "app/QuietMirrors.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <set>

#include "app/Notifications.h"
#include "roots/Mirrors.h"
#include "tests/support/TempDir.h"

namespace tarvine::app {
namespace {

namespace fs = std::filesystem;

TEST(MirrorBackoffTest, WaitsDoubleAfterEachFailureUpToAnHourAndASuccessEndsThem) {
  MirrorBackoff backoff;
  constexpr std::int64_t kStart = 1'000'000;
  EXPECT_TRUE(backoff.due("r", "u", kStart));
  const struct {
    bool fails;
    std::int64_t at;
    std::int64_t notBefore;  // the first moment it is due again
  } steps[] = {
      {true, kStart, kStart + 60},        {true, kStart + 60, kStart + 180},
      {true, kStart + 180, kStart + 420}, {false, kStart + 420, kStart + 480},
      {true, kStart + 480, kStart + 540},
  };
  for (const auto& step : steps) {
    if (step.fails) {
      backoff.failed("r", "u", step.at);
    } else {
      backoff.succeeded("r", "u", step.at);
    }
    EXPECT_FALSE(backoff.due("r", "u", step.notBefore - 1)) << step.at;
    EXPECT_TRUE(backoff.due("r", "u", step.notBefore)) << step.at;
    EXPECT_TRUE(backoff.due("r", "other", step.at)) << "each mirror waits on its own";
  }
  int failures = 0;
  for (int i = 0; i < 40; ++i) failures = backoff.failed("r", "u", kStart);
  EXPECT_EQ(failures, 41);
  EXPECT_TRUE(backoff.due("r", "u", kStart + MirrorBackoff::kLongestWaitSeconds));
}

// A watched folder with a mirror on a disk, as the application's tests start.
class QuietMirrorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root);
    fs::create_directories(disk);
    std::ofstream(root + "/a.txt") << "one";
    ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
    ASSERT_TRUE(roots::mirrors::add(keeper.container(), root, mirror).ok());
  }

  testing::TempDir tmp;
  roots::Keeper keeper{roots::Container(tmp.path() + "/container")};
  const std::string root = tmp.path() + "/root", disk = tmp.path() + "/disk";
  const std::string mirror = disk + "/root.git";
};

std::string run(const std::string& command) {
  std::string output;
  std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  if (pipe != nullptr) ::pclose(pipe);
  return output;
}

TEST_F(QuietMirrorsTest, SnapshotsReachTheMirrorOnTheirOwnAndAnUnpluggedDiskIsWaitedFor) {
  std::int64_t now = 1'000'000;
  bool busy = false;
  std::map<std::string, int> answers;  // url: failures in a row (0: pushed)
  QuietMirrors mirrors(
      keeper, {std::chrono::milliseconds(2),
               [&] { return now; },
               [&](const std::string&) { return busy; },
               [&](const std::string&, const std::string& url, const Status& status, int failures) {
                 EXPECT_EQ(status.ok(), failures == 0) << status.message();
                 answers[url] = failures;
               },
               {}});
  const auto tip = [&] {
    auto listed = keeper.versions(root);
    return listed.ok() && !listed->versions.empty() ? listed->versions.front().id : "";
  };
  const auto snapshot = [&](const std::string& content) {
    std::ofstream(root + "/a.txt") << content;
    ASSERT_TRUE(keeper.snapshot(root, history::Reason::manual).ok());
  };
  const struct {
    const char* what;
    std::int64_t later;  // seconds after the step before
    std::function<void()> before;
    std::map<std::string, int> answers;  // mirrors left out were not pushed
    bool reached;                        // the mirror has the newest snapshot after it
  } steps[] = {
      {"the first snapshot is pushed", 0, [] {}, {{mirror, 0}}, true},
      {"nothing new: nothing pushed", 600, [] {}, {}, true},
      {"a snapshot pending: left for later",
       0,
       [&] {
         snapshot("two");
         busy = true;
       },
       {},
       false},
      {"taken: pushed", 0, [&] { busy = false; }, {{mirror, 0}}, true},
      {"disk unplugged: a failure",
       600,
       [&] {
         fs::rename(disk, disk + "-away");
         snapshot("three");
       },
       {{mirror, 1}},
       false},
      {"a minute not over: not tried", 59, [] {}, {}, false},
      {"a minute: tried again", 1, [] {}, {{mirror, 2}}, false},
      {"back, but two minutes not over", 60, [&] { fs::rename(disk + "-away", disk); }, {}, false},
      {"two minutes: caught up", 60, [] {}, {{mirror, 0}}, true},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    now += step.later;
    answers.clear();
    for (const std::size_t rounds = mirrors.rounds(); mirrors.rounds() == rounds;) {
      g_main_context_iteration(nullptr, TRUE);
    }
    EXPECT_EQ(answers, step.answers);
    if (fs::exists(mirror)) {
      EXPECT_EQ(run("git --git-dir=" + mirror + " rev-parse HEAD") == tip() + "\n", step.reached);
    }
  }
  EXPECT_EQ(run("git --git-dir=" + mirror + " fsck --strict >/dev/null && echo clean"), "clean\n");
}

class RecordingSender : public NoticeSender {
 public:
  void send(const Notice& notice) override {
    sent.push_back(notice.id);
    // What to do, and the click that shows the folder.
    EXPECT_NE(notice.body.find("Connect the disk"), std::string::npos) << notice.body;
    EXPECT_NE(notice.body.find(mirror), std::string::npos) << notice.body;
    EXPECT_EQ(notice.click.name, Notifications::showRootAction);
    EXPECT_EQ(notice.click.path, root);
  }
  void withdraw(const std::string& id) override { withdrawn.push_back(id); }
  std::string root, mirror;
  std::vector<std::string> sent, withdrawn;
};

// A mirror that keeps failing is told of once, on the desktop, after
// Notifications::mirrorFailuresTold failures in a row, with the
// application's real pushes and notices (the desktop a double); a success
// (a push by hand too) or the mirror's removal takes it back, and only a new
// run of failures tells it again.
TEST_F(QuietMirrorsTest, AMirrorFailingThreeTimesInARowIsToldOnceUntilItIsBack) {
  RecordingSender desktop;
  desktop.root = root;
  desktop.mirror = mirror;
  auto notifications = std::make_unique<Notifications>(desktop, tmp.path() + "/container");
  std::int64_t now = 1'000'000;
  QuietMirrors mirrors(
      keeper,
      {std::chrono::milliseconds(2), [&] { return now; }, [](const std::string&) { return false; },
       [&](const std::string& root, const std::string& url, const Status& status, int failures) {
         notifications->mirrorPushed(root, url, status, failures);
       },
       [&](const QuietMirrors::Setting::Mirrors& failures) {
         notifications->mirrorsListed(failures);
       }});
  const auto unplug = [&](bool away) {
    fs::rename(away ? disk : disk + "-away", away ? disk + "-away" : disk);
    std::ofstream(root + "/a.txt") << now;
    ASSERT_TRUE(keeper.snapshot(root, history::Reason::manual).ok());
  };
  const std::string id = "mirror:" + root + "\n" + mirror;
  const struct {
    const char* what;
    std::int64_t later;  // seconds after the step before: when the next push is due
    std::function<void()> before;
    std::vector<std::string> sent, withdrawn;
  } steps[] = {
      {"pushed", 0, [] {}, {}, {}},
      {"unplugged: a first failure", 600, [&] { unplug(true); }, {}, {}},
      {"a second", 60, [] {}, {}, {}},
      {"a third: told", 120, [] {}, {id}, {}},
      {"a fourth: not told again", 240, [] {}, {}, {}},
      {"after a restart, still not",
       480,
       [&] { notifications = std::make_unique<Notifications>(desktop, tmp.path() + "/container"); },
       {},
       {}},
      {"back: taken back", 960, [&] { unplug(false); }, {}, {id}},
      {"unplugged again: a first failure", 600, [&] { unplug(true); }, {}, {}},
      {"a second", 60, [] {}, {}, {}},
      {"a third: told again", 120, [] {}, {id}, {}},
      // Caught up by hand: no quiet push is due, the next look takes it back.
      {"pushed by hand",
       1,
       [&] {
         unplug(false);
         ASSERT_TRUE(roots::mirrors::pushOne(keeper.container(), root, mirror).ok());
       },
       {},
       {id}},
      {"unplugged once more: a first failure", 600, [&] { unplug(true); }, {}, {}},
      {"a second", 60, [] {}, {}, {}},
      {"a third: told again", 120, [] {}, {id}, {}},
      {"removed: taken back",
       1,
       [&] { ASSERT_TRUE(roots::mirrors::remove(keeper.container(), root, mirror).ok()); },
       {},
       {id}},
      {"added again, then unplugged: its waits start again",
       600,
       [&] {
         unplug(false);
         ASSERT_TRUE(roots::mirrors::add(keeper.container(), root, mirror).ok());
         unplug(true);
       },
       {},
       {}},
      {"a first failure", 60, [] {}, {}, {}},
      {"a second", 60, [] {}, {}, {}},
      {"a third: told again", 120, [] {}, {id}, {}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    now += step.later;
    desktop.sent.clear();
    desktop.withdrawn.clear();
    for (const std::size_t rounds = mirrors.rounds(); mirrors.rounds() == rounds;) {
      g_main_context_iteration(nullptr, TRUE);
    }
    EXPECT_EQ(desktop.sent, step.sent);
    EXPECT_EQ(desktop.withdrawn, step.withdrawn);
  }
}

// A push holds the history's mirrors' lock, never the container's: a slow
// server must not hold up snapshots, nor the command line.
TEST_F(QuietMirrorsTest, APushGoesOnWhileTheContainerIsLocked) {
  auto lock = keeper.container().lock();  // as a snapshot under way holds it
  ASSERT_TRUE(lock.ok());
  auto pushing = std::async(std::launch::async, [&] {
    return roots::mirrors::pushOne(keeper.container(), root, mirror).ok();
  });
  // Generous: a push of one file takes milliseconds; one that waited for the
  // lock would wait for ever.
  const bool done = pushing.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  lock = Status::failure(Status::Kind::failed, "released");  // lets a stuck push end
  ASSERT_TRUE(done) << "the push waited for the container's lock";
  EXPECT_TRUE(pushing.get());
}

}  // namespace
}  // namespace tarvine::app
