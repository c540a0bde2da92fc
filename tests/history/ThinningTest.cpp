// Thinning a history to its retention policy: what is kept (a table of ages
// and kinds), that nothing it should keep goes, and what the store is left
// as: stock git finds it whole, its logs name only what exists, every kept
// version reads back byte for byte, and a kill anywhere leaves the old chain
// or the new one.

#include "history/Thinning.h"

#include <git2.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "history/GitObjects.h"
#include "history/PackSteps.h"
#include "roots/Keeper.h"
#include "tests/history/StoreFixture.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMinute = 60, kHour = 3600, kDay = 86400, kWeek = 7 * kDay;
// A fixed "now", a Tuesday at noon UTC, so that spans fall the same way in
// every run.
constexpr std::int64_t kNow = 1'796'731'200;

// ---------------------------------------------------------------------------
// The policy alone.

TEST(RetentionTest, TiersAndSizesAreReadAsWrittenAndBadOnesRefused) {
  auto standard = Retention::parse("all:1d,1h:7d,1d:90d,1w:forever");
  ASSERT_TRUE(standard.ok());
  EXPECT_EQ(*standard, Retention::standard());
  EXPECT_EQ(Retention::parse(Retention::standard().text())->tiers, Retention::standard().tiers);
  auto bounded = Retention::parse("10m:2h,1d:30d");
  ASSERT_TRUE(bounded.ok());
  EXPECT_EQ(bounded->tiers, (std::vector<Retention::Tier>{{600, 7200}, {kDay, 30 * kDay}}));
  for (const char* bad : {"", "1h", "all:1d,1h:1d", "1w:forever,1d:90d", "0h:1d", "1x:1d",
                          "all:1d,", "-1h:2d", "1h:forever,1d:forever"}) {
    EXPECT_EQ(Retention::parse(bad).status().kind(), Status::Kind::invalid) << bad;
  }
  const struct {
    const char* text;
    std::optional<std::uint64_t> bytes;
  } sizes[] = {{"none", std::nullopt}, {"4096", 4096},      {"10M", 10 << 20},
               {"2g", 2ull << 30},     {"1TB", 1ull << 40}, {"5K", 5 << 10}};
  for (const auto& size : sizes) {
    auto parsed = Retention::parseSize(size.text);
    ASSERT_TRUE(parsed.ok()) << size.text;
    EXPECT_EQ(*parsed, size.bytes) << size.text;
  }
  for (const char* bad : {"", "0", "M", "12Q", "-3G", "99999999999T"}) {
    EXPECT_FALSE(Retention::parseSize(bad).ok()) << bad;
  }
}

// One version as the table gives it: its age at kNow, its kind, and what the
// standard policy must say of it.
struct Row {
  std::int64_t age;
  Reason reason;
  bool pinned;
  Verdict expected;
  const char* why;
};

// Newest first, as a history lists them.
const Row kStandardTable[] = {
    {5 * kMinute, Reason::automatic, false, Verdict::newest, "the newest"},
    {2 * kHour, Reason::automatic, false, Verdict::tier, "under a day: all"},
    {2 * kHour + 1, Reason::manual, false, Verdict::tier, "under a day: all, manual too"},
    {23 * kHour, Reason::automatic, false, Verdict::tier, "under a day: all"},
    // 36 h old: the hour 24:00-23:00 before kNow holds three; the oldest stays.
    {36 * kHour - 20 * kMinute, Reason::automatic, false, Verdict::dropped, "same hour, newer"},
    {36 * kHour - 10 * kMinute, Reason::manual, false, Verdict::dropped, "manual, same hour"},
    {36 * kHour, Reason::automatic, false, Verdict::tier, "oldest of its hour"},
    {36 * kHour + 20 * kMinute, Reason::automatic, false, Verdict::tier, "another hour"},
    {3 * kDay, Reason::beforeRestore, false, Verdict::beforeRestore, "before a recent restore"},
    {3 * kDay + 5 * kMinute, Reason::automatic, false, Verdict::tier, "oldest of its hour"},
    // Ten days old: one a day.
    {10 * kDay - 2 * kHour, Reason::automatic, false, Verdict::dropped, "same day, newer"},
    {10 * kDay - kHour, Reason::automatic, false, Verdict::pinned, "pinned"},
    {10 * kDay, Reason::automatic, false, Verdict::tier, "oldest of its day"},
    {20 * kDay - 3 * kHour, Reason::automatic, false, Verdict::dropped, "same day, newer"},
    {20 * kDay, Reason::beforeRestore, false, Verdict::tier, "an old restore's: by its age"},
    // A year old: one a week.
    {365 * kDay, Reason::manual, false, Verdict::dropped, "same week, newer"},
    {365 * kDay + kDay, Reason::automatic, false, Verdict::tier, "oldest of its week"},
    {400 * kDay, Reason::automatic, true, Verdict::pinned, "pinned, however old"},
    {400 * kDay + kHour, Reason::beforeRestore, false, Verdict::tier, "oldest of its week"},
};

TEST(RetentionTest, TheStandardPolicyKeepsWhatTheTableSays) {
  std::vector<Aged> versions;
  for (const Row& row : kStandardTable) {
    // The pinned row at ten days is given as pinned here.
    const bool pinned = row.pinned || row.expected == Verdict::pinned;
    versions.push_back({kNow - row.age, row.reason, pinned, 0});
  }
  const std::vector<Verdict> verdicts = judge(Retention::standard(), versions, kNow);
  ASSERT_EQ(verdicts.size(), std::size(kStandardTable));
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    EXPECT_EQ(verdictName(verdicts[i]), verdictName(kStandardTable[i].expected))
        << "row " << i << ": " << kStandardTable[i].why;
  }
}

TEST(RetentionTest, AFiniteLastTierDropsWhatIsOlderButNeverTheNewest) {
  const Retention month = *Retention::parse("all:1d,1d:30d");
  const struct {
    std::vector<std::int64_t> ages;  // newest first
    std::vector<Verdict> expected;
  } cases[] = {
      {{40 * kDay}, {Verdict::newest}},
      {{kHour, 29 * kDay, 31 * kDay}, {Verdict::newest, Verdict::tier, Verdict::dropped}},
      {{50 * kDay, 60 * kDay}, {Verdict::newest, Verdict::dropped}},
  };
  for (const auto& test : cases) {
    std::vector<Aged> versions;
    for (std::int64_t age : test.ages) versions.push_back({kNow - age, Reason::manual, false, 0});
    EXPECT_EQ(judge(month, versions, kNow), test.expected) << test.ages.size();
  }
}

// Thinning every day keeps what one thinning at the end would: a version the
// policy keeps is never dropped on the way by an earlier thinning (states
// before restores and pinned versions among them).
TEST(RetentionTest, ThinningDailyKeepsWhatOneThinningAtTheEndKeeps) {
  std::mt19937 random(7);
  const std::int64_t start = kNow - 200 * kDay;
  std::vector<Aged> all;  // oldest first while made
  for (std::int64_t t = start; t < kNow; t += 5 * kMinute + random() % (40 * kMinute)) {
    const unsigned kind = random() % 40;
    all.push_back({t,
                   kind == 0  ? Reason::beforeRestore
                   : kind < 4 ? Reason::manual
                              : Reason::automatic,
                   kind == 1, 0});
  }
  std::reverse(all.begin(), all.end());
  auto keptAt = [](const std::vector<Aged>& versions, std::int64_t now) {
    const std::vector<Verdict> verdicts = judge(Retention::standard(), versions, now);
    std::vector<Aged> kept;
    for (std::size_t i = 0; i < versions.size(); ++i) {
      if (history::kept(verdicts[i])) kept.push_back(versions[i]);
    }
    return kept;
  };
  std::vector<Aged> daily;  // what exists after each day's thinning, newest first
  for (std::int64_t last = start - 1, now = start + kDay; now <= kNow; last = now, now += kDay) {
    // Versions made since the last thinning, then those it kept.
    std::vector<Aged> existing;
    for (const Aged& version : all) {
      if (version.time > last && version.time <= now) existing.push_back(version);
    }
    existing.insert(existing.end(), daily.begin(), daily.end());
    daily = keptAt(existing, now);
  }
  const std::vector<Aged> once = keptAt(all, kNow);
  std::vector<std::int64_t> dailyTimes, onceTimes;
  for (const Aged& version : keptAt(daily, kNow)) dailyTimes.push_back(version.time);
  for (const Aged& version : once) onceTimes.push_back(version.time);
  EXPECT_EQ(dailyTimes, onceTimes);
  EXPECT_GT(all.size(), 8 * once.size());  // it did thin
}

TEST(RetentionTest, ASizeLimitDropsTheOldestFirstAndNeverWhatIsKeptRegardless) {
  // All under a day, so that the tiers keep each; 100 bytes each.
  Retention limited = *Retention::parse("all:forever");
  const struct {
    std::uint64_t limit;
    std::vector<bool> pinned;  // newest first
    std::vector<Verdict> expected;
  } cases[] = {
      {1000, {false, false, false}, {Verdict::newest, Verdict::tier, Verdict::tier}},
      {250,
       {false, false, false, false},
       {Verdict::newest, Verdict::tier, Verdict::overSize, Verdict::overSize}},
      {250,
       {false, false, false, true},
       {Verdict::newest, Verdict::overSize, Verdict::overSize, Verdict::pinned}},
      {50, {false, false}, {Verdict::newest, Verdict::overSize}},
  };
  for (const auto& test : cases) {
    limited.sizeLimit = test.limit;
    std::vector<Aged> versions;
    for (std::size_t i = 0; i < test.pinned.size(); ++i) {
      versions.push_back(
          {kNow - static_cast<std::int64_t>(i) * kMinute, Reason::automatic, test.pinned[i], 100});
    }
    EXPECT_EQ(judge(limited, versions, kNow), test.expected) << test.limit;
  }
}

// ---------------------------------------------------------------------------
// Thinning a real store.

using testing::StoreTest;

class ThinningTest : public StoreTest {
 protected:
  // Version `n`'s file: distinct bytes, some of them not text.
  static std::string content(int n) {
    std::string text = "version " + std::to_string(n) + "\n";
    for (int i = 0; i < 64; ++i) text += static_cast<char>((n * 31 + i * 7) & 0xff);
    return text;
  }

  // Appends versions, oldest first, each with `f.txt` at its own content and
  // a folder shared by all; `bytes` more of incompressible data each, when
  // asked. The ids, oldest first.
  std::vector<std::string> append(const std::vector<std::pair<std::int64_t, Reason>>& timed,
                                  std::size_t bytes = 0) {
    history.reset();
    git_repository* git = nullptr;
    EXPECT_EQ(git_repository_open_bare(&git, repository.c_str()), 0);
    std::vector<std::string> ids;
    std::mt19937 random(static_cast<unsigned>(timed.size()));
    for (const auto& [time, reason] : timed) {
      const int n = static_cast<int>(made_++);
      git_oid parentId;
      git_commit* parent = nullptr;
      git_tree* base = nullptr;
      if (git_reference_name_to_id(&parentId, git, "HEAD") == 0) {
        git_commit_lookup(&parent, git, &parentId);
        git_commit_tree(&base, parent);
      }
      const std::string file = content(n), shared = "shared by every version\n";
      std::string large(bytes, '\0');
      for (char& c : large) c = static_cast<char>(random());
      git_oid fileBlob, sharedBlob, largeBlob, treeId, commitId;
      git_blob_create_from_buffer(&fileBlob, git, file.data(), file.size());
      git_blob_create_from_buffer(&sharedBlob, git, shared.data(), shared.size());
      git_blob_create_from_buffer(&largeBlob, git, large.data(), large.size());
      std::vector<git_tree_update> updates = {
          {GIT_TREE_UPDATE_UPSERT, fileBlob, GIT_FILEMODE_BLOB, "f.txt"},
          {GIT_TREE_UPDATE_UPSERT, sharedBlob, GIT_FILEMODE_BLOB, "folder/shared.txt"}};
      if (bytes > 0) {
        updates.push_back({GIT_TREE_UPDATE_UPSERT, largeBlob, GIT_FILEMODE_BLOB, "large.bin"});
      }
      git_tree* empty = nullptr;
      if (base == nullptr) {
        git_oid emptyId;
        git_treebuilder* builder = nullptr;
        git_treebuilder_new(&builder, git, nullptr);
        git_treebuilder_write(&emptyId, builder);
        git_treebuilder_free(builder);
        git_tree_lookup(&empty, git, &emptyId);
      }
      EXPECT_EQ(git_tree_create_updated(&treeId, git, base != nullptr ? base : empty,
                                        updates.size(), updates.data()),
                0);
      git_tree* tree = nullptr;
      git_tree_lookup(&tree, git, &treeId);
      git_signature* signature = nullptr;
      git_signature_new(&signature, "Tarvine", "tarvine@localhost", time, 0);
      const std::string message = snapshotMessage(reason, root);
      const git_commit* parents[] = {parent};
      EXPECT_EQ(git_commit_create(&commitId, git, "HEAD", signature, signature, nullptr,
                                  message.c_str(), tree, parent != nullptr ? 1 : 0, parents),
                0);
      ids.push_back(hex(commitId));
      contents_[hex(commitId)] = file;
      git_signature_free(signature);
      git_tree_free(tree);
      git_tree_free(empty);
      git_tree_free(base);
      git_commit_free(parent);
    }
    git_repository_free(git);
    reopen();
    return ids;
  }

  // The versions on the branch, newest first: (time, content of f.txt).
  std::vector<std::pair<std::int64_t, std::string>> listed() {
    std::vector<std::pair<std::int64_t, std::string>> found;
    auto versions = history->versions("f.txt");
    EXPECT_TRUE(versions.ok());
    if (!versions.ok()) return found;
    for (const Version& version : *versions) {
      found.emplace_back(version.time, versionOf(version.id, "f.txt"));
    }
    return found;
  }

  // Stock git's verdict and what it can reach: no dangling object, no
  // unreachable one, and the logs name only commits that exist.
  void expectWholeAndLean() {
    git("fsck --strict --no-progress");
    const Run unreachable =
        shell("git --git-dir=" + repository + " fsck --unreachable --no-reflogs --no-progress");
    EXPECT_EQ(unreachable.status, 0) << unreachable.output;
    EXPECT_EQ(unreachable.output.find("unreachable"), std::string::npos) << unreachable.output;
    const std::string tip = git("rev-parse HEAD");
    for (const std::string log : {"HEAD", "refs/heads/master", "refs/heads/main"}) {
      if (!fs::exists(repository + "/logs/" + log)) continue;
      const std::string text = read(repository + "/logs/" + log);
      std::istringstream lines(text);
      std::string last;
      for (std::string line; std::getline(lines, line);) {
        for (std::size_t at : {std::size_t{0}, std::size_t{41}}) {
          const std::string id = line.substr(at, 40);
          if (id == std::string(40, '0')) continue;
          EXPECT_EQ(
              shell("git --git-dir=" + repository + " cat-file -e " + id + "^{commit}").status, 0)
              << log << " names " << id << ", which is gone";
        }
        last = line.substr(41, 40);
      }
      EXPECT_EQ(last + "\n", tip) << log << " does not end at the tip";
    }
  }

  std::size_t made_ = 0;
  std::map<std::string, std::string> contents_;  // f.txt by commit id, as made
};

TEST_F(ThinningTest, ThinningKeepsExactlyWhatThePolicySaysAndTheStoreStaysWhole) {
  std::vector<std::pair<std::int64_t, Reason>> timed;
  std::set<std::int64_t> expected;  // times of what must stay
  std::vector<std::size_t> pins;    // rows to pin, oldest first
  for (std::size_t i = std::size(kStandardTable); i-- > 0;) {
    const Row& row = kStandardTable[i];
    timed.emplace_back(kNow - row.age, row.reason);
    if (kept(row.expected)) expected.insert(kNow - row.age);
    if (row.expected == Verdict::pinned) pins.push_back(timed.size() - 1);
  }
  const std::vector<std::string> ids = append(timed);
  for (std::size_t row : pins) ASSERT_TRUE(history->pin(ids[row]).ok());
  const std::string pinnedTree = git("rev-parse " + ids[pins.back()] + "^{tree}");
  git("gc --quiet");  // some of it packed, as a long-lived store is

  auto thinned = history->thin(kNow);
  ASSERT_TRUE(thinned.ok()) << thinned.status().message();
  EXPECT_EQ(thinned->versions, std::size(kStandardTable));
  EXPECT_EQ(thinned->kept, expected.size());
  EXPECT_EQ(thinned->dropped.size(), std::size(kStandardTable) - expected.size());

  // What stays: exactly the versions the table keeps, each byte for byte.
  std::set<std::int64_t> found;
  for (const auto& [time, file] : listed()) {
    found.insert(time);
    const auto row = std::find_if(timed.begin(), timed.end(),
                                  [&](const auto& made) { return made.first == time; });
    ASSERT_NE(row, timed.end());
    EXPECT_EQ(file, contents_[ids[row - timed.begin()]]) << "the version of " << time;
  }
  EXPECT_EQ(found, expected);
  // Dropped commits are gone from the store, pins follow their versions.
  for (const Dropped& dropped : thinned->dropped) {
    EXPECT_NE(shell("git --git-dir=" + repository + " cat-file -e " + dropped.id).status, 0);
  }
  auto pinned = history->pinned();
  ASSERT_TRUE(pinned.ok());
  EXPECT_EQ(pinned->size(), pins.size());
  bool followed = false;
  for (const std::string& id : *pinned)
    followed |= git("rev-parse " + id + "^{tree}") == pinnedTree;
  EXPECT_TRUE(followed);
  expectWholeAndLean();

  // Restoring a kept version brings it back byte for byte, and thinning
  // again at the same moment drops nothing more.
  auto versions = history->versions("f.txt");
  ASSERT_TRUE(versions.ok());
  const Version& old = versions->back();
  write("f.txt", versionOf(versions->front().id, "f.txt"));
  write("folder/shared.txt", "shared by every version\n");
  auto restored = history->restore("f.txt", old.id);
  ASSERT_TRUE(restored.ok()) << restored.status().message();
  EXPECT_EQ(read(root + "/f.txt"), versionOf(old.id, "f.txt"));
  auto again = history->thin(kNow);
  ASSERT_TRUE(again.ok());
  EXPECT_TRUE(again->dropped.empty());
}

TEST_F(ThinningTest, ADryRunSaysWhatWouldGoAndChangesNothing) {
  std::vector<std::pair<std::int64_t, Reason>> timed;
  for (int i = 40; i >= 0; --i) timed.emplace_back(kNow - i * 6 * kHour, Reason::automatic);
  append(timed);
  auto everyFile = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(repository)) {
      if (entry.is_regular_file()) files[entry.path().string()] = read(entry.path().string());
    }
    return files;
  };
  const auto before = everyFile();
  auto dry = history->thin(kNow, /*dryRun=*/true);
  ASSERT_TRUE(dry.ok());
  EXPECT_TRUE(dry->dryRun);
  EXPECT_FALSE(dry->dropped.empty());
  EXPECT_EQ(everyFile(), before);
  EXPECT_FALSE(history->lastThinned());
  auto real = history->thin(kNow);
  ASSERT_TRUE(real.ok());
  std::vector<std::string> wouldGo, went;
  for (const Dropped& dropped : dry->dropped) wouldGo.push_back(dropped.id);
  for (const Dropped& dropped : real->dropped) went.push_back(dropped.id);
  EXPECT_EQ(wouldGo, went);
  EXPECT_EQ(history->lastThinned(), kNow);
}

TEST_F(ThinningTest, ASizeLimitThinsOldestFirstAndSaysSo) {
  // Ten versions of a day, each with 64 KB of its own that does not compress.
  std::vector<std::pair<std::int64_t, Reason>> timed;
  for (int i = 9; i >= 0; --i) timed.emplace_back(kNow - i * kHour, Reason::automatic);
  const std::vector<std::string> ids = append(timed, 64 << 10);
  ASSERT_TRUE(history->pin(ids[1]).ok());
  Retention retention = Retention::standard();
  retention.sizeLimit = 350 << 10;
  ASSERT_TRUE(history->setRetention(retention).ok());
  reopen();
  EXPECT_EQ(*history->retention(), retention);

  // Dry, it tells the size it would have; thinned, the history has about that.
  auto dry = history->thin(kNow, /*dryRun=*/true);
  ASSERT_TRUE(dry.ok()) << dry.status().message();
  EXPECT_EQ(dry->dropped.size(), 5u);
  auto thinned = history->thin(kNow);
  ASSERT_TRUE(thinned.ok()) << thinned.status().message();
  std::vector<std::string> dropped;
  for (const Dropped& version : thinned->dropped) {
    EXPECT_EQ(version.verdict, Verdict::overSize);
    dropped.push_back(version.id);
  }
  // The oldest go, but not the pinned second: five of 64 KB fit in 350 KB.
  EXPECT_EQ(dropped, (std::vector<std::string>{ids[5], ids[4], ids[3], ids[2], ids[0]}));
  EXPECT_FALSE(thinned->stillOverLimit);
  EXPECT_LE(thinned->bytesAfter, *retention.sizeLimit);
  EXPECT_LT(thinned->bytesAfter, thinned->bytesBefore * 6 / 10);
  EXPECT_EQ(dry->bytesBefore, thinned->bytesBefore);
  EXPECT_NEAR(static_cast<double>(dry->bytesAfter), static_cast<double>(thinned->bytesAfter),
              thinned->bytesAfter * 0.25)
      << "estimated " << dry->bytesAfter << " of " << dry->bytesBefore;
  expectWholeAndLean();
}

// A damaged snapshot set aside when the history was healed is kept for
// people to look at, with what it reaches, though no reference names it.
TEST_F(ThinningTest, WhatADamagedSnapshotSetAsideReachesIsKept) {
  std::vector<std::pair<std::int64_t, Reason>> timed;
  for (int i = 0; i < 12; ++i)
    timed.emplace_back(kNow - 2 * kDay + i * 20 * kMinute, Reason::manual);
  timed.emplace_back(kNow, Reason::manual);
  const std::vector<std::string> ids = append(timed);
  const std::string blob = git("rev-parse " + ids[2] + ":f.txt");
  fs::create_directories(repository + "/tarvine-damaged/tips");
  std::ofstream(repository + "/tarvine-damaged/tips/20270101T000000Z") << ids[2] << "\n";
  git("gc --quiet");
  auto thinned = history->thin(kNow);
  ASSERT_TRUE(thinned.ok()) << thinned.status().message();
  std::set<std::string> dropped;
  for (const Dropped& version : thinned->dropped) dropped.insert(version.id);
  ASSERT_TRUE(dropped.contains(ids[1]) && dropped.contains(ids[2]) && dropped.contains(ids[4]));
  const auto there = [&](const std::string& id) {
    return shell("git --git-dir=" + repository + " cat-file -e " + id).status == 0;
  };
  // It and what it came from stay; a version dropped after it goes.
  EXPECT_TRUE(there(ids[2]));
  EXPECT_TRUE(there(blob));
  EXPECT_TRUE(there(ids[1]));
  EXPECT_FALSE(there(ids[4]));
  git("fsck --strict --no-progress");
}

// A packing that fails midway through its removals leaves the new chain
// whole; the next thinning finishes freeing the space.
class FailingRemoval : public PackSteps {
 public:
  explicit FailingRemoval(int allowed) : allowed_(allowed) {}
  int remove(const std::string& path) override {
    if (allowed_-- <= 0) {
      errno = EIO;
      return -1;
    }
    return PackSteps::remove(path);
  }

 private:
  int allowed_;
};

TEST_F(ThinningTest, KilledOrFailingAnywhereItLeavesTheOldChainOrTheNewOneWhole) {
  std::vector<std::pair<std::int64_t, Reason>> timed;
  for (int i = 60; i >= 0; --i) timed.emplace_back(kNow - i * 5 * kHour, Reason::automatic);
  const std::vector<std::string> ids = append(timed);
  ASSERT_TRUE(history->pin(ids[3]).ok());
  git("gc --quiet");
  std::set<std::string> oldChain;
  for (const auto& [time, file] : listed()) oldChain.insert(std::to_string(time) + file);
  const std::string pristine = tmp.path() + "/pristine.git";
  fs::copy(repository, pristine, fs::copy_options::recursive);
  history->setPackSteps(PackSteps::real());
  auto reference = history->thin(kNow);
  ASSERT_TRUE(reference.ok());
  std::set<std::string> newChain;
  for (const auto& [time, file] : listed()) newChain.insert(std::to_string(time) + file);
  ASSERT_LT(newChain.size(), oldChain.size());

  auto restart = [&] {
    history.reset();
    fs::remove_all(repository);
    fs::copy(pristine, repository, fs::copy_options::recursive);
    reopen();
  };
  auto expectOneChain = [&](const std::string& round) {
    reopen();
    std::set<std::string> chain;
    for (const auto& [time, file] : listed()) chain.insert(std::to_string(time) + file);
    EXPECT_TRUE(chain == oldChain || chain == newChain) << round << ": " << chain.size();
    git("fsck --strict --no-progress");
    auto finished = history->thin(kNow);
    ASSERT_TRUE(finished.ok()) << round << ": " << finished.status().message();
    std::set<std::string> after;
    for (const auto& [time, file] : listed()) after.insert(std::to_string(time) + file);
    EXPECT_EQ(after, newChain) << round;
    expectWholeAndLean();
  };

  for (int allowed : {0, 1, 3}) {
    restart();
    FailingRemoval steps(allowed);
    history->setPackSteps(steps);
    EXPECT_FALSE(history->thin(kNow).ok());
    history->setPackSteps(PackSteps::real());
    expectOneChain("removal " + std::to_string(allowed));
  }
  std::mt19937 random(99);
  for (int round = 0; round < 12; ++round) {
    restart();
    history.reset();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto opened = History::open(repository, root);
      if (opened.ok()) (void)(*opened)->thin(kNow);
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 40'000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    expectOneChain("kill " + std::to_string(round));
  }
}

// The application thins in its quiet moments, at most once a day a root.
TEST(KeeperThinningTest, ARootIsThinnedAtMostOnceADay) {
  tarvine::testing::TempDir tmp;
  const std::string root = tmp.path() + "/root";
  fs::create_directories(root);
  roots::Keeper keeper(roots::Container(tmp.path() + "/container"));
  ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  const std::int64_t now = std::time(nullptr);
  const struct {
    std::int64_t at;
    bool due;
  } steps[] = {{now, true},
               {now + kHour, false},
               {now + roots::Keeper::kThinEverySeconds - 1, false},
               {now + roots::Keeper::kThinEverySeconds, true},
               {now + roots::Keeper::kThinEverySeconds + kHour, false},
               {now - kWeek, true}};  // a clock set back: not stuck for a week
  for (const auto& step : steps) {
    auto thinned = keeper.thinIfDue(root, step.at);
    ASSERT_TRUE(thinned.ok()) << thinned.status().message();
    EXPECT_EQ(thinned->has_value(), step.due) << step.at - now;
  }
  // A dry run is not a thinning.
  ASSERT_TRUE(keeper.thin(root, now + 10 * kDay, /*dryRun=*/true).ok());
  EXPECT_FALSE(keeper.thinIfDue(root, now - kWeek + kHour)->has_value());
}

// Pins and policies through the Keeper, as the command line sets them: each
// answer's kind, and what the history keeps afterwards.
TEST(KeeperThinningTest, PinsAndPoliciesAreKeptWithTheHistoryAndBadOnesRefused) {
  tarvine::testing::TempDir tmp;
  const std::string root = tmp.path() + "/root";
  fs::create_directories(root);
  roots::Keeper keeper(roots::Container(tmp.path() + "/container"));
  ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  std::ofstream(root + "/f.txt") << "second";
  auto taken = keeper.snapshot(root, Reason::manual);
  ASSERT_TRUE(taken.ok());
  const std::string second = taken->snapshot.id;
  const struct {
    const char* what;
    std::function<Status()> act;
    Status::Kind kind;
  } cases[] = {
      {"pin a version", [&] { return keeper.pin(root + "/f.txt", shortId(second)).status(); },
       Status::Kind::ok},
      {"pin it again", [&] { return keeper.pin(root, second).status(); }, Status::Kind::ok},
      {"pin one that is not there", [&] { return keeper.pin(root, std::string(40, 'a')).status(); },
       Status::Kind::notFound},
      {"pin outside every root", [&] { return keeper.pin(tmp.path(), second).status(); },
       Status::Kind::notWatched},
      {"unpin one never pinned", [&] { return keeper.unpin(root, "HEAD~1").status(); },
       Status::Kind::notFound},
      {"a policy for a path below the root",
       [&] { return keeper.setRetention(root + "/f.txt", Retention::standard()).status(); },
       Status::Kind::notWatched},
  };
  for (const auto& test : cases) EXPECT_EQ(test.act().kind(), test.kind) << test.what;
  auto kept = keeper.retention(root);
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(kept->pinned, std::vector<std::string>{second});
  EXPECT_EQ(kept->retention, Retention::standard());

  Retention month = *Retention::parse("all:1d,1d:30d");
  month.sizeLimit = 1 << 30;
  ASSERT_TRUE(keeper.setRetention(root, month).ok());
  EXPECT_EQ(keeper.retention(root)->retention, month);
  // Back to the standard one: no setting left behind, so that the standard
  // policy a later version ships applies.
  ASSERT_TRUE(keeper.setRetention(root, Retention::standard()).ok());
  EXPECT_EQ(keeper.retention(root)->retention, Retention::standard());
  auto history = keeper.container().history(root);
  ASSERT_TRUE(history.ok());
  const std::string config = (*history)->repository() + "config";
  history->reset();
  std::stringstream text;
  text << std::ifstream(config).rdbuf();
  EXPECT_EQ(text.str().find("keep"), std::string::npos) << text.str();
  EXPECT_EQ(text.str().find("sizeLimit"), std::string::npos) << text.str();

  // A pinned version is kept when the policy lets everything older than a
  // day go, and unpinned, it goes.
  ASSERT_TRUE(keeper.setRetention(root, *Retention::parse("all:1d")).ok());
  std::ofstream(root + "/f.txt") << "third";
  ASSERT_TRUE(keeper.snapshot(root, Reason::manual).ok());
  const std::int64_t later = std::time(nullptr) + 3 * kDay;
  auto thinned = keeper.thin(root, later);
  ASSERT_TRUE(thinned.ok());
  EXPECT_EQ(thinned->thinned.kept, 2u);  // the newest and the pinned one
  // The first version went, so the pinned one was written anew: its pin
  // followed it, and the old id is gone with the old chain.
  const std::vector<std::string> pins = keeper.retention(root)->pinned;
  ASSERT_EQ(pins.size(), 1u);
  EXPECT_NE(pins.front(), second);
  EXPECT_EQ(keeper.pin(root, second).status().kind(), Status::Kind::notFound);
  ASSERT_TRUE(keeper.unpin(root, pins.front()).ok());
  EXPECT_TRUE(keeper.retention(root)->pinned.empty());
  thinned = keeper.thin(root, later);
  ASSERT_TRUE(thinned.ok());
  EXPECT_EQ(thinned->thinned.kept, 1u);

  // A setting that cannot be read is said to be, not taken for the standard.
  ASSERT_EQ(std::system(("git config --file " + config + " tarvine.keep nonsense").c_str()), 0);
  EXPECT_EQ(keeper.retention(root).status().kind(), Status::Kind::damaged);
  EXPECT_EQ(keeper.thin(root, later).status().kind(), Status::Kind::damaged);
}

}  // namespace
}  // namespace tarvine::history
