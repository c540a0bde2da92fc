// Power cuts at the flushes of a snapshot, a restore, a pack, a tidy and a
// thinning, on a disk that loses its write cache: after each, the history
// opens, its checks name nothing reported done, every snapshot reported done
// reads back as it was, every user file holds a version it was given, and
// the next snapshot completes. docs/FAULTS.md keeps the results.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "tests/stress/Campaign.h"
#include "tests/support/PowerCut.h"

namespace tarvine::testing::campaign {
namespace {

constexpr std::uint64_t kDiskBytes = 96ull << 20;
constexpr unsigned kWorkerSeconds = 120;
// A test run's size: these many flush points of each operation at most
// (spread over all of them), and write points besides. Every flush point of
// every operation: TARVINE_POWER_CUT_POINTS=0.
constexpr unsigned kFlushPointsPerOperation = 24;
constexpr unsigned kWritePointsPerOperation = 6;
// At least these many points of each operation, more write points making up
// for few flushes: the campaign tries 50 at least, whatever the engine syncs.
constexpr unsigned kPointsPerOperation = 14;
constexpr std::size_t kExamplesPerOperation = 12;  // of the problems, in the failure's message

struct Point {
  enum class Kind { flush, write, after } kind;
  std::uint64_t at = 0;    // the flush or write the power is cut at
  std::uint32_t seed = 0;  // 0: the whole cache is lost; else half of it reached the disk
};

// `count` of the numbers 1..`total`, spread evenly (all of them when
// `count` is 0 or at least `total`).
std::vector<std::uint64_t> spread(std::uint64_t total, unsigned count) {
  std::vector<std::uint64_t> picked;
  if (count == 0 || count >= total) {
    for (std::uint64_t i = 1; i <= total; ++i) picked.push_back(i);
    return picked;
  }
  for (unsigned i = 0; i < count; ++i) {
    const std::uint64_t at = 1 + (count == 1 ? 0 : i * (total - 1) / (count - 1));
    if (picked.empty() || picked.back() != at) picked.push_back(at);
  }
  return picked;
}

std::vector<Point> pointsOf(const DiskCounts& counted, unsigned flushPoints) {
  std::vector<Point> points;
  std::uint32_t seed = 1;
  for (std::uint64_t flush : spread(counted.flushes, flushPoints)) {
    // Every other one with half of the cache written before the cut.
    points.push_back({Point::Kind::flush, flush, flush % 2 == 0 ? 7919 * seed++ : 0});
  }
  // Writes between two flushes: cut there, the cache's half that reached the
  // disk is what differs from a cut at the next flush.
  const unsigned writePoints =
      std::max<int>(kWritePointsPerOperation,
                    static_cast<int>(kPointsPerOperation) - 1 - static_cast<int>(points.size()));
  for (std::uint64_t write : spread(counted.writes, writePoints)) {
    points.push_back({Point::Kind::write, write, 7919 * seed++});
  }
  points.push_back({Point::Kind::after, 0, 0});
  return points;
}

std::string category(const std::string& problem) { return problem.substr(0, problem.find(':')); }

struct Tally {
  DiskCounts counted;
  unsigned flushPoints = 0, writePoints = 0, afterPoints = 0;
  unsigned withProblems = 0;
  unsigned killedInside = 0;              // the cut came before the operation was reported done
  std::map<std::string, unsigned> found;  // points with each kind of problem
};

std::string table(const std::vector<std::pair<Operation, Tally>>& tallies) {
  std::ostringstream text;
  text << "| operation | flushes / writes in a run | points tried (flush + write + after) | "
          "cut before done | points with problems | what was found |\n"
       << "| --- | --- | --- | --- | --- | --- |\n";
  for (const auto& [operation, tally] : tallies) {
    std::string found;
    for (const auto& [kind, points] : tally.found) {
      found += (found.empty() ? "" : "; ") + kind + " (" + std::to_string(points) + ")";
    }
    text << "| " << operationName(operation) << " | " << tally.counted.flushes << " / "
         << tally.counted.writes << " | "
         << tally.flushPoints + tally.writePoints + tally.afterPoints << " (" << tally.flushPoints
         << " + " << tally.writePoints << " + " << tally.afterPoints << ") | " << tally.killedInside
         << " | " << tally.withProblems << " | " << (found.empty() ? "nothing" : found) << " |\n";
  }
  return text.str();
}

TEST(PowerCutCampaignTest, ThePowerCutAtEachFlushOfEachOperationLosesNothingReportedDone) {
  TARVINE_REQUIRE_POWER_CUT_DISK();
  removePowerCutLeftovers();
  PowerCutDisk disk(powerCutDaemon(), kDiskBytes);
  disk.mount();
  const Places places(disk.mountPoint());
  const Prepared prepared = prepare(places);
  const std::string image = disk.runFolder() + "/prepared.img";
  disk.unmount();
  disk.save(image);
  const StoreCheck check{cliProgram()};
  const unsigned flushPoints =
      sizeFromEnvironment("TARVINE_POWER_CUT_POINTS", kFlushPointsPerOperation);

  std::vector<std::pair<Operation, Tally>> tallies;
  std::vector<std::string> examples;
  for (const Operation operation : kOperations) {
    Tally tally;
    std::size_t shown = 0;
    // A run without a cut counts the operation's flushes and writes.
    disk.load(image);
    disk.mount();
    {
      Worker worker(places, prepared, operation, /*bystander=*/true);
      ASSERT_TRUE(worker.ready()) << operationName(operation);
      disk.arm(0, 0, 0, 0);
      worker.go();
      const int status = worker.finish(kWorkerSeconds);
      ASSERT_EQ(status, 0) << operationName(operation) << ": " << worker.journal(prepared).failure;
      tally.counted = disk.counts();
    }
    for (const Point& point : pointsOf(tally.counted, flushPoints)) {
      const std::string name = std::string(operationName(operation)) + ", cut at " +
                               (point.kind == Point::Kind::flush   ? "flush "
                                : point.kind == Point::Kind::write ? "write "
                                                                   : "the end") +
                               (point.kind == Point::Kind::after ? "" : std::to_string(point.at)) +
                               (point.seed != 0 ? " (half the cache written)" : "");
      (point.kind == Point::Kind::flush   ? tally.flushPoints
       : point.kind == Point::Kind::write ? tally.writePoints
                                          : tally.afterPoints)++;
      disk.load(image);
      disk.mount();
      Journal journal;
      {
        Worker worker(places, prepared, operation, /*bystander=*/true);
        ASSERT_TRUE(worker.ready()) << name;
        disk.arm(point.kind == Point::Kind::flush ? point.at : 0,
                 point.kind == Point::Kind::write ? point.at : 0, -worker.processGroup(),
                 point.seed);
        worker.go();
        const int status = worker.finish(kWorkerSeconds);
        ASSERT_NE(status, -1) << name << ": the worker hung";
        // A run can flush less than the counting one did: the cut then comes
        // after it, as the "after" point's does.
        if (!disk.counts().frozen) disk.cut();
        journal = worker.journal(prepared);
        EXPECT_TRUE(status == 0 || status == 128 + SIGKILL)
            << name << ": " << status << " " << journal.failure;
        if (!journal.finished) ++tally.killedInside;
      }
      disk.powerOn();
      disk.mount();
      std::vector<std::string> problems = findProblems(places, prepared, journal, check, false);
      if (!disk.fileSystemConsistent()) {
        problems.push_back("file system damaged: e2fsck finds errors (the disk's fault)");
      }
      std::set<std::string> kinds;
      for (const std::string& problem : problems) {
        kinds.insert(category(problem));
        if (shown++ < kExamplesPerOperation) examples.push_back(name + ": " + problem);
      }
      for (const std::string& kind : kinds) ++tally.found[kind];
      if (!problems.empty()) ++tally.withProblems;
    }
    tallies.emplace_back(operation, tally);
  }
  const std::string results = table(tallies);
  std::cout << "Power cuts:\n" << results;
  if (const char* file = std::getenv("TARVINE_FAULT_TABLE")) {
    std::ofstream(file, std::ios::app) << "Power cuts:\n" << results;
  }
  unsigned tried = 0, failed = 0;
  for (const auto& entry : tallies) {
    const Tally& tally = entry.second;
    tried += tally.flushPoints + tally.writePoints + tally.afterPoints;
    failed += tally.withProblems;
  }
  EXPECT_GE(tried, 50u);
  std::string shown;
  for (const std::string& example : examples) shown += "  " + example + "\n";
  EXPECT_EQ(failed, 0u) << failed << " of " << tried << " power cuts lost or damaged something:\n"
                        << shown;
}

}  // namespace
}  // namespace tarvine::testing::campaign
