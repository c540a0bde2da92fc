// What the system log says of guarded calls that failed: each call's first
// failure at once, its repeats counted and said at most once per quiet time.

#include "hosts/glib/FailureLog.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tarvine {
namespace {

using namespace std::chrono_literals;

// The lines written; a write can be made to throw, as one out of memory would.
class RecordingLog : public SystemLog {
 public:
  void write(std::string_view line) override {
    if (throwNext) {
      throwNext = false;
      throw std::bad_alloc();
    }
    lines.emplace_back(line);
  }
  std::vector<std::string> lines;
  bool throwNext = false;
};

std::chrono::steady_clock::time_point gNow;
std::chrono::steady_clock::time_point fakeNow() { return gNow; }

std::string line(GuardedCall call, const std::string& rest = "") {
  return std::string(FailureLog::linePrefix) + std::string(FailureLog::describe(call)) + rest;
}

TEST(FailureLogTest, EachCallIsSaidAtOnceThenAtMostOncePerQuietTimeWithItsCount) {
  struct Step {
    std::chrono::seconds after;  // since the previous step
    GuardedCall call;
    std::string reason;
    std::size_t times;
    std::vector<std::string> written;  // by this step
  };
  const std::vector<Step> steps = {
      {0s, GuardedCall::command, "disk full", 1, {line(GuardedCall::command, ": disk full")}},
      // Repeated on every click: counted, not said.
      {1s, GuardedCall::command, "disk full", 1, {}},
      {1s, GuardedCall::command, "disk full", 1, {}},
      // Another call is limited on its own; counted on the interface thread,
      // it comes with no reason and its count.
      {1s, GuardedCall::fileManagerMenu, "", 3, {line(GuardedCall::fileManagerMenu, " (3 times)")}},
      // Still within the first line's quiet time.
      {FailureLog::quietTime - 4s, GuardedCall::command, "gone", 1, {}},
      // Past it: said, standing for every failure since the last line.
      {1s, GuardedCall::command, "gone", 1, {line(GuardedCall::command, ": gone (4 times)")}},
      {1s, GuardedCall::command, "gone", 1, {}},
  };
  RecordingLog log;
  FailureLog failures(log, &fakeNow);
  std::size_t step = 0;
  for (const Step& s : steps) {
    gNow += s.after;
    log.lines.clear();
    failures.failed(s.call, s.reason, s.times);
    EXPECT_EQ(log.lines, s.written) << "step " << step;
    ++step;
  }
}

TEST(FailureLogTest, ALineThatCannotBeWrittenNeitherThrowsNorLosesTheCount) {
  RecordingLog log;
  FailureLog failures(log, &fakeNow);
  log.throwNext = true;
  failures.failed(GuardedCall::menu, "bad_alloc");  // noexcept: would end the test
  EXPECT_TRUE(log.lines.empty());
  failures.failed(GuardedCall::menu, "bad_alloc");
  EXPECT_EQ(log.lines, std::vector<std::string>{line(GuardedCall::menu, ": bad_alloc (2 times)")});
}

TEST(FailureLogTest, TheReasonIsTheHandledExceptionsMessage) {
  const auto reasonOf = [](auto thrown) {
    try {
      throw thrown;
    } catch (...) {
      return std::string(FailureLog::currentReason());
    }
  };
  EXPECT_EQ(reasonOf(std::runtime_error("injected")), "injected");
  EXPECT_EQ(reasonOf(42), "not a std::exception");
}

}  // namespace
}  // namespace tarvine
