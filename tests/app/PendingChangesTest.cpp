// When an automatic root's snapshot is due, and what it reads, driven by
// hand-made times: no test waits for a clock.

#include "app/PendingChanges.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

#include <vector>

namespace tarvine::app {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = PendingChanges::Clock;

constexpr milliseconds kQuiet{3000};

// The times (in seconds from the start) at which snapshots are taken when a
// file changes at each of `changes`, as the main loop would take them: each
// when it is due, the loop looking every 100 ms.
std::vector<double> snapshotsFor(const std::vector<double>& changes, double until) {
  PendingChanges pending;
  const Clock::time_point start{};
  pending.changedAnywhere(start);
  (void)pending.take(start);  // the first snapshot, at start
  std::vector<double> taken;
  std::size_t next = 0;
  for (int tenth = 0; tenth <= until * 10; ++tenth) {
    const Clock::time_point now = start + milliseconds(tenth * 100);
    while (next < changes.size() &&
           start + milliseconds(static_cast<int>(changes[next] * 1000)) <= now) {
      pending.event(IN_MODIFY, "logs", "app.log", now);
      ++next;
    }
    if (pending.pending() && pending.due(kQuiet) <= now) {
      (void)pending.take(now);
      taken.push_back(tenth / 10.0);
    }
  }
  return taken;
}

std::vector<double> every(double step, double from, double to) {
  std::vector<double> times;
  for (double at = from; at <= to; at += step) times.push_back(at);
  return times;
}

TEST(PendingChangesTest, AChangeIsRecordedOnceQuietButNeverHeldBackLongerThanTheLongestWait) {
  const double longest = PendingChanges::kLongestWait.count();
  const struct {
    const char* what;
    std::vector<double> changes;
    double until;
    std::vector<double> snapshots;
  } cases[] = {
      {"one change: once quiet", {10}, 100, {13}},
      {"a burst: once quiet after its last change", {10, 11, 12.5}, 100, {15.5}},
      {"two bursts apart: one snapshot each", {10, 11, 50}, 100, {14, 53}},
      {"a file changing every second: one snapshot each longest wait",
       every(1, 10, 250),
       260,
       // The last one once quiet after the file stopped, at 250 s.
       {10 + longest, 10 + 2 * longest + 1, 10 + 3 * longest + 2, 253}},
      {"a change every 2.9 s, never quiet long enough", every(2.9, 0.5, 100), 100, {60.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(snapshotsFor(c.changes, c.until), c.snapshots);
  }
}

TEST(PendingChangesTest, EventsSayWhichFoldersTheSnapshotReadsOrThatItReadsEveryFolder) {
  using Reads = std::optional<PendingChanges::Reads>;
  using Folders = std::set<std::string>;
  const Clock::time_point start{};
  const struct Event {
    std::uint32_t mask;
    const char* folder;
    const char* name;
  } modified{IN_MODIFY, "a/b", "x.txt"};
  const struct {
    const char* what;
    std::vector<Event> events;
    Reads reads;
  } cases[] = {
      {"files changed, made, removed and renamed",
       {modified,
        {IN_CLOSE_WRITE, "a/b", "x.txt"},
        {IN_CREATE, "", "new.txt"},
        {IN_DELETE | IN_ISDIR, "c", "gone"},
        {IN_MOVED_FROM, "d", "moved.txt"},
        {IN_ATTRIB | IN_ISDIR, "e", ""}},
       PendingChanges::Reads{{"", "a/b", "c", "d", "e"}, {}}},
      {"nothing", {}, PendingChanges::Reads{}},
      {"events lost", {modified, {IN_Q_OVERFLOW, "", ""}}, std::nullopt},
      // A subtree no watch saw: read whole, and its folder with it.
      {"a folder made",
       {modified, {IN_CREATE | IN_ISDIR, "a", "new"}},
       PendingChanges::Reads{{"a", "a/b", "a/new"}, {"a/new"}}},
      {"a folder moved in, and one moved out",
       {{IN_MOVED_TO | IN_ISDIR, "", "in"}, {IN_MOVED_FROM | IN_ISDIR, "c", "out"}},
       PendingChanges::Reads{{"", "c", "in"}, {"in"}}},
      {"a folder's permissions changed",
       {{IN_ATTRIB | IN_ISDIR, "a", "b"}},
       PendingChanges::Reads{{"a", "a/b"}, {"a/b"}}},
      {"a folder made, then events lost",
       {{IN_CREATE | IN_ISDIR, "a", "new"}, {IN_Q_OVERFLOW, "", ""}},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PendingChanges pending;
    EXPECT_EQ(pending.take(start), std::nullopt) << "the first snapshot reads every folder";
    for (const Event& event : c.events) pending.event(event.mask, event.folder, event.name, start);
    EXPECT_EQ(pending.pending(), !c.events.empty());
    EXPECT_EQ(pending.take(start + seconds(1)), c.reads);
    // Taken: nothing left over for the next.
    pending.event(IN_MODIFY, "z", "z.txt", start + seconds(2));
    EXPECT_EQ(pending.take(start + seconds(3)), (PendingChanges::Reads{Folders{"z"}, {}}));
  }

  // A failed snapshot, and the safety net now and then: every folder.
  PendingChanges pending;
  (void)pending.take(start);
  pending.event(IN_CREATE | IN_ISDIR, "a", "new", start);
  pending.readWholeNextTime();
  EXPECT_EQ(pending.take(start), std::nullopt);
  pending.event(IN_MODIFY, "a", "x", start + PendingChanges::kWholeWalkEvery);
  EXPECT_EQ(pending.take(start + PendingChanges::kWholeWalkEvery), std::nullopt);
}

}  // namespace
}  // namespace tarvine::app
