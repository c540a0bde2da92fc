// Checking a history as git fsck does: every object of every snapshot read,
// hashed and parsed, and the damage named where it is met.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "tests/history/DurableStore.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;
using Opening = History::Opening;

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// The file `path` replaced by `bytes`, writable for the moment it takes.
void replace(const std::string& path, const std::string& bytes) {
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string deflated(const std::string& bytes) {
  uLongf size = compressBound(bytes.size());
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size,
           reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
  out.resize(size);
  return out;
}

// Three snapshots: a file larger than a piece of the streamed reads, a
// link, folders; the first and the last differ in every kind of object.
struct History3 {
  Store store;
  std::vector<std::string> snapshots;
  History3() {
    store.write("notes.txt", "first");
    store.write("deep/er/data.bin", randomBytes(3 << 20, 1));
    std::filesystem::create_symlink("notes.txt", store.root + "/link");
    snapshots.push_back(store.snap());
    store.write("notes.txt", "second");
    snapshots.push_back(store.snap());
    store.write("deep/er/data.bin", randomBytes(3 << 20, 2));
    store.write("deep/other.txt", "other");
    snapshots.push_back(store.snap());
  }
  CheckReport check() {
    auto opened = store.open(Opening::checking);
    if (!opened.ok()) {
      ADD_FAILURE() << opened.status().message();
      return {};
    }
    auto report = (*opened)->check();
    if (!report.ok()) {
      ADD_FAILURE() << report.status().message();
      return {};
    }
    return *report;
  }
};

TEST(CheckTest, AWholeHistoryIsIntactWithEveryObjectOfEverySnapshotVerified) {
  for (const bool packed : {false, true}) {
    SCOPED_TRACE(packed ? "packed by git" : "loose");
    History3 history;
    if (packed) history.store.git("gc -q");
    const CheckReport report = history.check();
    EXPECT_TRUE(report.intact()) << ::testing::PrintToString(report.problems);
    EXPECT_EQ(report.snapshots, 3u);
    const std::string objects = history.store.git("rev-list --objects --all");
    EXPECT_EQ(report.objects,
              static_cast<std::size_t>(std::count(objects.begin(), objects.end(), '\n')));
  }
}

TEST(CheckTest, DamageAnywhereInTheHistoryIsFoundAndNamedWhereItIsMet) {
  // Each: what to damage (a revision of the snapshots, 0 the oldest), how,
  // and the words that must name it.
  const struct {
    const char* name;
    int snapshot;
    const char* object;
    std::function<void(const std::string& file, Store& store)> damage;
    const char* named;
  } cases[] = {
      {"an old file left empty", 0, ":notes.txt",
       [](const std::string& file, Store& store) { store.empty(file); }, "notes.txt"},
      {"a large file cut short", 2, ":deep/er/data.bin",
       [](const std::string& file, Store&) { fs::resize_file(file, fs::file_size(file) / 2); },
       "deep/er/data.bin"},
      {"a file whose content is another's", 2, ":notes.txt",
       [](const std::string& file, Store&) {
         replace(file, deflated(std::string("blob 5") + '\0' + "bogus"));
       },
       "does not match its id"},
      {"a folder gone", 2, ":deep", [](const std::string& file, Store&) { fs::remove(file); },
       "deep"},
      {"a commit of garbage", 1, "",
       [](const std::string& file, Store&) { replace(file, randomBytes(200, 3)); }, "its commit"},
      {"a file that is a folder", 0, ":notes.txt",
       [](const std::string& file, Store& store) {
         const std::string tree = store.objectFile(store.id("HEAD^{tree}"));
         std::ifstream in(tree, std::ios::binary);
         replace(file, std::string(std::istreambuf_iterator<char>(in), {}));
       },
       "not of the kind"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    History3 history;
    const std::string snapshot = history.snapshots[c.snapshot];
    c.damage(history.store.objectFile(snapshot + c.object), history.store);
    const CheckReport report = history.check();
    ASSERT_FALSE(report.intact());
    const std::string& first = report.problems.front();
    EXPECT_NE(first.find(c.named), std::string::npos) << first;
    EXPECT_NE(first.find("snapshot " + shortId(snapshot)), std::string::npos) << first;
  }
}

TEST(CheckTest, APackedObjectThatIsDamagedIsFound) {
  History3 history;
  history.store.git("gc -q");
  std::string pack;
  for (const auto& entry : fs::directory_iterator(history.store.repository + "/objects/pack")) {
    if (entry.path().extension() == ".pack") pack = entry.path();
  }
  ASSERT_FALSE(pack.empty());
  // A byte in the middle of the pack, in some object's compressed data.
  fs::permissions(pack, fs::perms::owner_write, fs::perm_options::add);
  std::fstream file(pack, std::ios::in | std::ios::out | std::ios::binary);
  const auto middle = static_cast<std::streamoff>(fs::file_size(pack) / 2);
  file.seekg(middle);
  const char byte = static_cast<char>(file.get() ^ 0x5a);
  file.seekp(middle);
  file.put(byte);
  file.close();
  EXPECT_FALSE(history.check().intact());
}

// libgit2 alone never returns from an object cut short after its header:
// whatever reads an older snapshot fails on it instead, and a pack deletes
// nothing.
TEST(CheckTest, AnOlderObjectCutShortFailsWhatReadsItRatherThanHang) {
  // Each: which object of the oldest snapshot is cut short, and what reads it.
  const struct {
    const char* name;
    const char* object;
    std::function<Status(History&, const std::string& oldest)> read;
  } cases[] = {
      {"versions", ":deep/er",
       [](History& h, const std::string&) { return h.versions("deep/er/data.bin").status(); }},
      {"files", ":deep/er",
       [](History& h, const std::string& oldest) { return h.files(oldest, "").status(); }},
      {"pack", ":deep/er", [](History& h, const std::string&) { return h.pack(); }},
      {"a version by its short id", "",
       [](History& h, const std::string& oldest) { return h.files(shortId(oldest), "").status(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    History3 history;
    const std::string oldest = history.snapshots[0];
    const std::string file = history.store.objectFile(oldest + c.object);
    const std::string compressed = [&] {
      std::ifstream in(file, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    replace(file, compressed.substr(0, compressed.size() / 2));
    auto opened = history.store.open();
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    EXPECT_FALSE(c.read(**opened, oldest).ok());
    // Nothing was lost to it: the newest snapshot reads whole with stock git.
    bool whole = false;
    const std::string read =
        history.store.git("archive --format=tar -o /dev/null " + history.snapshots[2], &whole);
    EXPECT_TRUE(whole) << read;
  }
}

TEST(CheckTest, CheckingChangesNothingAndMakesNoHistory) {
  History3 history;
  history.store.empty(history.store.objectFile("HEAD:notes.txt"));
  history.store.reboot();
  const std::string tip = history.store.id("HEAD");
  EXPECT_FALSE(history.check().intact());
  EXPECT_EQ(history.store.id("HEAD"), tip);  // not healed by checking
  EXPECT_EQ(history.store.git("for-each-ref refs/tarvine"), "");

  Store none;
  auto opened = none.open(Opening::checking);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.status().kind(), Status::Kind::noHistory);
  EXPECT_FALSE(fs::exists(none.repository));
}

}  // namespace
}  // namespace tarvine::history
