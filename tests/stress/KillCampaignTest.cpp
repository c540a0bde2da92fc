// kill -9 at random points of a snapshot, a restore, a pack, a tidy (the
// packing after an automatic snapshot) and a thinning: after each, nothing reported done is
// lost, every user file holds a version it was given, the history's checks
// name nothing reported done, and once the history has been opened again
// (the next snapshot) nothing a killed writer left is still there: no
// temporary object or pack, no lock, no restore's temporary in the folder.
// docs/FAULTS.md keeps the results.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "tests/stress/Campaign.h"
#include "tests/support/TempDir.h"

namespace tarvine::testing::campaign {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr unsigned kKills = 100;  // in all; TARVINE_KILL_POINTS for longer runs
constexpr unsigned kWorkerSeconds = 120;
constexpr unsigned kTimingRuns = 3;
constexpr unsigned kSeed = 2604;                   // TARVINE_KILL_SEED for other points
constexpr std::size_t kExamplesPerOperation = 12;  // of the problems, in the failure's message

struct Tally {
  Clock::duration measured{};
  unsigned kills = 0;
  unsigned killedInside = 0;  // before the operation was reported done
  unsigned withProblems = 0;
  std::map<std::string, unsigned> found;
};

TEST(KillCampaignTest, KilledAtRandomPointsOfEachOperationNothingIsLostOrLeftBehind) {
  TempDir tmp;
  const Places places(tmp.path() + "/work");
  const Prepared prepared = prepare(places);
  // Every run starts from the same history, in the same place (the history
  // is named after the folder's path).
  const std::string golden = tmp.path() + "/prepared";
  fs::copy(places.base, golden, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  const auto reset = [&] {
    fs::remove_all(places.base);
    fs::copy(golden, places.base, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  };
  const StoreCheck check{cliProgram()};
  const unsigned perOperation =
      (sizeFromEnvironment("TARVINE_KILL_POINTS", kKills) + std::size(kOperations) - 1) /
      std::size(kOperations);
  std::mt19937 random(sizeFromEnvironment("TARVINE_KILL_SEED", kSeed));

  std::vector<std::pair<Operation, Tally>> tallies;
  std::vector<std::string> examples;
  for (const Operation operation : kOperations) {
    Tally tally;
    std::size_t shown = 0;
    // How long the operation takes here, the fastest of a few runs (the
    // machine is shared): the kills fall anywhere in it.
    tally.measured = Clock::duration::max();
    for (unsigned run = 0; run < kTimingRuns; ++run) {
      reset();
      Worker worker(places, prepared, operation, /*bystander=*/false);
      ASSERT_TRUE(worker.ready());
      const auto started = Clock::now();
      worker.go();
      ASSERT_EQ(worker.finish(kWorkerSeconds), 0)
          << operationName(operation) << ": " << worker.journal(prepared).failure;
      tally.measured = std::min(tally.measured, Clock::now() - started);
    }
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(tally.measured);
    std::uniform_int_distribution<long> delay(0, micros.count() * 6 / 5);
    for (unsigned round = 0; round < perOperation; ++round) {
      reset();
      const long after = delay(random);
      const std::string name =
          std::string(operationName(operation)) + ", killed after " + std::to_string(after) + " us";
      Journal journal;
      {
        Worker worker(places, prepared, operation, /*bystander=*/false);
        ASSERT_TRUE(worker.ready()) << name;
        worker.go();
        std::this_thread::sleep_for(std::chrono::microseconds(after));
        worker.kill();
        const int status = worker.finish(kWorkerSeconds);
        journal = worker.journal(prepared);
        EXPECT_TRUE(status == 0 || status == 128 + SIGKILL)
            << name << ": " << status << " " << journal.failure;
      }
      ++tally.kills;
      if (!journal.finished) ++tally.killedInside;
      const std::vector<std::string> problems =
          findProblems(places, prepared, journal, check, /*leftovers=*/true);
      std::set<std::string> kinds;
      for (const std::string& problem : problems) {
        kinds.insert(problem.substr(0, problem.find(':')));
        if (shown++ < kExamplesPerOperation) examples.push_back(name + ": " + problem);
      }
      for (const std::string& kind : kinds) ++tally.found[kind];
      if (!problems.empty()) ++tally.withProblems;
    }
    tallies.emplace_back(operation, tally);
  }

  std::ostringstream results;
  results << "| operation | one run takes | kills | killed before done | kills with problems | "
             "what was found |\n"
          << "| --- | --- | --- | --- | --- | --- |\n";
  unsigned kills = 0, failed = 0;
  for (const auto& [operation, tally] : tallies) {
    std::string found;
    for (const auto& [kind, count] : tally.found) {
      found += (found.empty() ? "" : "; ") + kind + " (" + std::to_string(count) + ")";
    }
    results << "| " << operationName(operation) << " | "
            << std::chrono::duration_cast<std::chrono::milliseconds>(tally.measured).count()
            << " ms | " << tally.kills << " | " << tally.killedInside << " | " << tally.withProblems
            << " | " << (found.empty() ? "nothing" : found) << " |\n";
    kills += tally.kills;
    failed += tally.withProblems;
  }
  std::cout << "Kills:\n" << results.str();
  if (const char* file = std::getenv("TARVINE_FAULT_TABLE")) {
    std::ofstream(file, std::ios::app) << "Kills:\n" << results.str();
  }
  std::string shown;
  for (const std::string& example : examples) shown += "  " + example + "\n";
  EXPECT_EQ(failed, 0u) << failed << " of " << kills << " kills lost or left something:\n" << shown;
}

}  // namespace
}  // namespace tarvine::testing::campaign
