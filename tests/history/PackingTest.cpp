#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "history/History.h"
#include "history/PackSteps.h"
#include "tests/history/StoreFixture.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

// Packing's syncs and removals, in order, by path below the store; one chosen
// call fails.
class JournalingSteps : public PackSteps {
 public:
  explicit JournalingSteps(std::string store) : store_(std::move(store)) {}
  int sync(const std::string& path) override {
    return note("sync", path) ? PackSteps::sync(path) : -1;
  }
  int remove(const std::string& path) override {
    return note("remove", path) ? PackSteps::remove(path) : -1;
  }
  std::vector<std::string> calls;
  std::string failing;  // as journaled, e.g. "sync objects/pack"

 private:
  bool note(const std::string& what, const std::string& path) {
    std::string below = path.rfind(store_, 0) == 0 ? path.substr(store_.size()) : path;
    calls.push_back(what + " " + below);
    errno = EIO;
    return calls.back() != failing;
  }
  std::string store_;
};

class PackingTest : public testing::StoreTest {
 protected:
  static std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  }
  // Every file of the store with its size: what must still be there when a
  // packing fails.
  std::map<std::string, std::uintmax_t> storeFiles() {
    std::map<std::string, std::uintmax_t> files;
    for (const auto& entry : fs::recursive_directory_iterator(repository)) {
      if (entry.is_regular_file()) files[entry.path().string()] = entry.file_size();
    }
    return files;
  }
  std::string looseFile(const std::string& id) {
    return repository + "/objects/" + id.substr(0, 2) + "/" + id.substr(2);
  }
  static std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
  std::string idOf(const std::string& revision) { return firstLine(git("rev-parse " + revision)); }
};

// Large files stay loose so that they are restored piece by piece; those that
// stock git packed (whole, or as deltas of each other) leave its pack for
// loose files before the pack goes, and objects no snapshot names are kept.
TEST_F(PackingTest, APackKeepsEveryObjectOfThePacksItReplaces) {
  constexpr std::size_t kLarge = 96 << 10;
  history->setLooseFileBytes(kLarge / 2);
  std::vector<std::string> versions;
  std::vector<std::string> ids;
  std::string content = noise(kLarge, 1);
  for (int edit = 0; edit < 3; ++edit) {
    if (edit == 1) content.replace(1000, 8, "an edit.");  // a delta of the first, to git
    if (edit == 2) content = noise(kLarge + 1, 2);        // kept whole by git
    write("big.bin", content);
    write("small.txt", "version " + std::to_string(edit));
    versions.push_back(content);
    ids.push_back(snap().id);
  }
  // A snapshot kept aside under a ref of its own, which the newest does not reach.
  const std::string aside = firstLine(git("commit-tree -m aside " + ids[0] + "^{tree}"));
  git("update-ref refs/tarvine/aside " + aside);
  git("gc -q --prune=now");
  ASSERT_EQ(git("count-objects -v").rfind("count: 0\n", 0), 0u) << "stock git packed every object";
  // As git packed them: the first two versions one a delta of the other, the
  // last one whole. (Each line: id, type, size, packed size, offset, and for a
  // delta its depth and base.)
  const std::string verified = git("verify-pack -v " + repository + "/objects/pack/*.idx");
  const auto fields = [&](const std::string& revision) {
    const std::string id = idOf(revision);
    const auto at = verified.find(id + " ");
    if (at == std::string::npos) return std::size_t{0};
    std::istringstream line(verified.substr(at, verified.find('\n', at) - at));
    std::size_t count = 0;
    for (std::string field; line >> field;) ++count;
    return count;
  };
  ASSERT_EQ(std::max(fields(ids[0] + ":big.bin"), fields(ids[1] + ":big.bin")), 7u) << verified;
  ASSERT_EQ(fields(ids[2] + ":big.bin"), 5u) << verified;

  for (int round = 0; round < 2; ++round) {
    const Status packed = history->pack();
    ASSERT_TRUE(packed.ok()) << round << ": " << packed.message();
    git("fsck --strict --no-dangling");
    for (std::size_t i = 0; i < ids.size(); ++i) {
      EXPECT_EQ(versionOf(ids[i], "big.bin"), versions[i]) << i;
      EXPECT_TRUE(fs::exists(looseFile(idOf(ids[i] + ":big.bin")))) << "loose, version " << i;
    }
    EXPECT_EQ(git("cat-file -p refs/tarvine/aside^{tree}:small.txt"), "version 0");
    const std::string counted = git("count-objects -v");
    EXPECT_EQ(counted.rfind("count: 3\n", 0), 0u) << counted;  // the large ones
    EXPECT_NE(counted.find("\npacks: 1\n"), std::string::npos) << counted;
  }
}

// A packing that cannot read or pack an object, or make its pack durable,
// fails and removes nothing: the packs it would replace and every loose
// object are still there.
TEST_F(PackingTest, APackThatCannotProveItsObjectsRemovesNothing) {
  struct Case {
    std::string name;
    std::string damagedRevision;  // whose loose object is made unreadable
    bool truncate;                // emptied, as a power cut leaves it; else removed
    std::string failingStep;
    Status::Kind kind;
  };
  const std::vector<Case> cases = {
      {"an unreadable newest snapshot", "HEAD", true, "", Status::Kind::damaged},
      {"an older snapshot missing", "HEAD~1", false, "", Status::Kind::damaged},
      {"a folder missing", "HEAD:sub", false, "", Status::Kind::damaged},
      {"a file unreadable", "HEAD:sub/b.txt", true, "", Status::Kind::damaged},
      {"a pack that cannot be synced", "", false, "sync objects/pack", Status::Kind::io},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(repository);
    fs::remove_all(root);
    fs::create_directories(root);
    ASSERT_NO_FATAL_FAILURE(reopen());
    JournalingSteps steps(repository + "/");
    history->setPackSteps(steps);
    write("a.txt", "a1");
    write("sub/b.txt", "b1");
    snap();
    ASSERT_TRUE(history->pack().ok());
    write("a.txt", "a2");
    snap();
    write("sub/b.txt", "b2");
    snap();
    if (!c.damagedRevision.empty()) {
      const std::string file = looseFile(idOf(c.damagedRevision));
      ASSERT_TRUE(fs::exists(file));
      fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
      if (c.truncate) fs::resize_file(file, 0);
      if (!c.truncate) fs::remove(file);
    }
    const auto before = storeFiles();
    steps.calls.clear();
    steps.failing = c.failingStep;
    const Status packed = history->pack();
    EXPECT_EQ(packed.kind(), c.kind) << packed.message();
    const auto after = storeFiles();
    for (const auto& [file, size] : before) {
      EXPECT_TRUE(after.contains(file)) << file << " was removed";
      EXPECT_EQ(after.contains(file) ? after.at(file) : 0, size) << file;
    }
    for (const std::string& call : steps.calls) EXPECT_NE(call.rfind("remove", 0), 0u) << call;
  }
}

// Nothing is removed before what replaces it is on stable storage: the new
// pack, its index and their folder are synced first, and a pack's index goes
// before the pack itself.
TEST_F(PackingTest, NothingIsRemovedBeforeThePackThatReplacesItIsSynced) {
  JournalingSteps steps(repository + "/");
  history->setPackSteps(steps);
  // Enough loose objects for git's estimate, which samples one fan-out folder:
  // these contents have ids beginning with 17.
  for (int n : {160,  707,  959,  1021, 1116, 1159, 1274, 1385, 1438, 1463, 1967, 1986, 2248, 2782,
                3102, 3150, 3166, 3558, 3640, 3962, 4080, 4090, 4791, 5179, 5228, 5650, 5795}) {
    write("tidy/" + std::to_string(n), "tidy " + std::to_string(n));
  }
  snap();
  const auto checkOrder = [&](const std::string& what) {
    SCOPED_TRACE(what);
    const auto firstRemove =
        std::find_if(steps.calls.begin(), steps.calls.end(),
                     [](const auto& call) { return call.rfind("remove", 0) == 0; });
    ASSERT_NE(firstRemove, steps.calls.end());
    std::vector<std::string> syncedFirst(steps.calls.begin(), firstRemove);
    ASSERT_EQ(syncedFirst.size(), 3u);
    EXPECT_TRUE(syncedFirst[0].ends_with(".pack")) << syncedFirst[0];
    EXPECT_TRUE(syncedFirst[1].ends_with(".idx")) << syncedFirst[1];
    EXPECT_EQ(syncedFirst[2], "sync objects/pack");
    for (auto call = firstRemove; call != steps.calls.end(); ++call) {
      EXPECT_EQ(call->rfind("remove", 0), 0u) << *call;
    }
    git("fsck --strict --no-dangling");
  };
  ASSERT_TRUE(history->tidy().ok());
  checkOrder("tidy");
  EXPECT_EQ(git("count-objects -v").rfind("count: 0\n", 0), 0u);

  write("a.txt", "another");
  snap();
  steps.calls.clear();
  const std::string replaced =
      fs::directory_iterator(repository + "/objects/pack")->path().stem().string();
  ASSERT_TRUE(history->pack().ok());
  checkOrder("pack");
  const auto index =
      std::find(steps.calls.begin(), steps.calls.end(), "remove objects/pack/" + replaced + ".idx");
  const auto data = std::find(steps.calls.begin(), steps.calls.end(),
                              "remove objects/pack/" + replaced + ".pack");
  EXPECT_LT(index, data);
  EXPECT_NE(data, steps.calls.end());
}

// Tidying after each snapshot leaves no object loose (each would take a block
// of the disk and be no delta) and adds a pack while the packs it added are
// small beside the largest. It packs the whole history again once they
// outgrow their share, so that they become deltas of the older versions;
// and past git's 50 packs it merges the small ones, leaving the largest as
// it is, so that a large history is not compressed again every 50 snapshots.
TEST_F(PackingTest, TidyingLeavesNothingLooseAndBoundsThePacksItAdds) {
  const struct {
    const char* what;
    unsigned baseFiles;  // of 8 KB of random bytes
    int rounds;
    bool wholeAgain;  // else merged, the largest kept
  } cases[] = {{"outgrowing their share", 200, 40, true}, {"past 50 packs", 1200, 60, false}};
  const auto packs = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(repository + "/objects/pack")) {
      if (entry.path().extension() == ".idx") names.insert(entry.path().stem().string());
    }
    return names;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    startAfresh();
    for (unsigned f = 0; f < c.baseFiles; ++f)
      write("base/" + std::to_string(f), noise(8 << 10, f));
    snap();
    ASSERT_TRUE(history->pack().ok());
    const std::string base = *packs().begin();
    std::string log;
    std::vector<std::size_t> counts;
    for (int round = 0; round < c.rounds; ++round) {
      log = "line " + std::to_string(round) + " " + noise(600, 1000 + round) + "\n";
      write("log.txt", log);
      snap();
      const Status tidied = history->tidy();
      ASSERT_TRUE(tidied.ok()) << tidied.message();
      const std::string counted = git("count-objects -v");
      ASSERT_EQ(counted.rfind("count: 0\n", 0), 0u) << round << ": " << counted;
      counts.push_back(packs().size());
    }
    std::string shown;
    for (std::size_t count : counts) shown += std::to_string(count) + " ";
    const auto most = std::max_element(counts.begin(), counts.end());
    EXPECT_GE(*most, 3u) << shown;  // packs were added, not the whole packed each time
    EXPECT_LT(*most, 50u) << shown;
    EXPECT_LT(counts.back(), *most) << shown;  // then fewer
    EXPECT_EQ(packs().contains(base), !c.wholeAgain) << shown;
    git("fsck --strict --no-dangling");
    EXPECT_EQ(versionOf(idOf("HEAD"), "log.txt"), log);
    EXPECT_EQ(versionOf(idOf("HEAD"), "base/7"), noise(8 << 10, 7));
  }
}

}  // namespace
}  // namespace tarvine::history
