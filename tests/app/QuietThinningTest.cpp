// The application's thinning as its main loop runs it: a timer of a few
// milliseconds instead of ten minutes, and a clock the test sets, over a
// real Keeper. No test waits for a clock: each step runs the loop until one
// look at the roots has been worked through.

#include "app/QuietThinning.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "tests/support/TempDir.h"

namespace tarvine::app {
namespace {

namespace fs = std::filesystem;

TEST(QuietThinningTest, EachRootIsThinnedOnceADayWhenNoSnapshotOfItIsPending) {
  testing::TempDir tmp;
  roots::Keeper keeper(roots::Container(tmp.path() + "/container"));
  const std::string a = tmp.path() + "/a", b = tmp.path() + "/b", paused = tmp.path() + "/paused";
  for (const std::string& root : {a, b, paused}) {
    fs::create_directories(root);
    ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  }
  ASSERT_TRUE(keeper.pause(paused).ok());

  constexpr std::int64_t kHour = 60 * 60, kDay = roots::Keeper::kThinEverySeconds;
  const std::int64_t start = std::time(nullptr);
  std::int64_t now = start;
  std::set<std::string> busy;
  enum Was { thinned, notDue };
  std::map<std::string, Was> answers;
  QuietThinning thinning(keeper,
                         {std::chrono::milliseconds(2), [&] { return now; },
                          [&](const std::string& root) { return busy.count(root) != 0; },
                          [&](const std::string& root, const QuietThinning::Answer& answer) {
                            ASSERT_TRUE(answer.ok()) << answer.status().message();
                            answers[root] = answer->has_value() ? thinned : notDue;
                          }});

  const struct {
    const char* what;
    std::int64_t at;
    std::set<std::string> busy;
    std::map<std::string, Was> answers;  // roots left out are not thinned at all
  } steps[] = {
      {"quiet: each root thinned, none paused", start, {}, {{a, thinned}, {b, thinned}}},
      {"an hour later: none due", start + kHour, {}, {{a, notDue}, {b, notDue}}},
      {"a day later, a snapshot of a pending: b alone", start + kDay, {a}, {{b, thinned}}},
      {"every snapshot pending: none", start + kDay + kHour, {a, b}, {}},
      {"a's snapshot taken: a, and b not again",
       start + kDay + 2 * kHour,
       {},
       {{a, thinned}, {b, notDue}}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    now = step.at;
    busy = step.busy;
    answers.clear();
    // Between two looks: the next one begins with what was set here.
    for (const std::size_t rounds = thinning.rounds(); thinning.rounds() == rounds;) {
      g_main_context_iteration(nullptr, TRUE);
    }
    EXPECT_EQ(answers, step.answers);
  }
}

}  // namespace
}  // namespace tarvine::app
