// Large files kept in content-defined chunks: cut where the content says, so
// that an edit costs the chunks around it; read back byte for byte by every
// reader of the history and by stock git; and stores that kept large files
// whole still read, restore and compare.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "history/Chunks.h"
#include "history/History.h"
#include "tests/history/StoreFixture.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

// Small enough for tests to write a few of them, large enough for dozens of chunks.
constexpr std::uint64_t kThreshold = 1 << 20;

std::string randomBytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

// Where chunkEnd cuts `data`, chunk after chunk, as a snapshot reads it.
std::vector<std::string> chunksOf(const std::string& data) {
  std::vector<std::string> chunks;
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t length =
        chunkEnd(reinterpret_cast<const unsigned char*>(data.data()) + at, data.size() - at);
    chunks.push_back(data.substr(at, length));
    at += length;
  }
  return chunks;
}

TEST(ChunkerTest, ChunksAreCutByContentWithinTheirBounds) {
  const std::string random = randomBytes(8 << 20, 1);
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"random", random},
      {"zeros, as in a sparse file", std::string(3 << 20, '\0')},
      {"text",
       [] {
         std::string text;
         for (int i = 0; text.size() < (3u << 20); ++i) text += "line " + std::to_string(i) + "\n";
         return text;
       }()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto chunks = chunksOf(c.data);
    std::string joined;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      if (i + 1 < chunks.size()) {
        EXPECT_GE(chunks[i].size(), kMinChunkBytes);
      }
      EXPECT_LE(chunks[i].size(), kMaxChunkBytes);
      joined += chunks[i];
    }
    EXPECT_EQ(joined, c.data);
  }
  // Random content is cut near the average, neither at every minimum nor
  // only at the maximum.
  const std::size_t count = chunksOf(random).size();
  EXPECT_GT(count, random.size() / (2 * kAverageChunkBytes));
  EXPECT_LT(count, random.size() * 2 / kAverageChunkBytes);
}

class ChunksTest : public testing::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    history->setChunkedFileBytes(kThreshold);
  }
  void reopenChunked() {
    reopen();
    history->setChunkedFileBytes(kThreshold);
  }
  std::string path(const std::string& relative) const { return root + "/" + relative; }
  std::string head() { return git("rev-parse HEAD").substr(0, 40); }
  // The ids of a chunked file's chunks in snapshot `id`, in order.
  std::vector<std::string> chunkIds(const std::string& id, const std::string& relative) {
    std::vector<std::string> ids;
    std::istringstream lines(git("ls-tree " + id + ":" + relative));
    for (std::string mode, type, oid, name; lines >> mode >> type >> oid >> name;) {
      if (type == "blob") ids.push_back(oid);
    }
    return ids;
  }
  std::string typeIn(const std::string& id, const std::string& relative) {
    const std::string type = git("cat-file -t " + id + ":" + relative);
    return type.substr(0, type.find('\n'));
  }
  std::string gitHashObject(const std::string& file) {
    const Run run = shell("git hash-object " + file);
    return run.output.substr(0, 40);
  }
  static std::uint64_t allocated(const std::string& file) {
    struct stat info {};
    ::stat(file.c_str(), &info);
    return static_cast<std::uint64_t>(info.st_blocks) * 512;
  }
};

TEST_F(ChunksTest, AnEditCostsOnlyTheChunksAroundIt) {
  const std::string original = randomBytes(3 << 20, 2);
  write("big.bin", original);
  const std::string first = snap().id;
  ASSERT_EQ(typeIn(first, "big.bin"), "tree");
  const auto before = chunkIds(first, "big.bin");
  ASSERT_GT(before.size(), 10u);
  // Unchanged, it is vouched for by the cache like any file: not read again.
  ASSERT_TRUE(testing::settleBelow(root));
  snap();
  const Snapshot unchanged = snap();
  EXPECT_EQ(unchanged.id, "");
  EXPECT_EQ(unchanged.filesRead, 0u);
  const struct {
    const char* what;
    std::string content;
  } edits[] = {
      {"ten bytes inserted near the start",
       original.substr(0, 100) + "0123456789" + original.substr(100)},
      {"a kilobyte removed in the middle",
       original.substr(0, 1 << 20) + original.substr(1025 << 10)},
      {"a hundred bytes rewritten near the end",
       original.substr(0, 3000000) + std::string(100, 'x') + original.substr(3000100)},
  };
  for (const auto& edit : edits) {
    SCOPED_TRACE(edit.what);
    write("big.bin", edit.content);
    const std::string id = snap().id;
    const auto after = chunkIds(id, "big.bin");
    const std::set<std::string> old(before.begin(), before.end());
    std::size_t added = 0;
    for (const std::string& chunk : after) added += old.count(chunk) == 0 ? 1 : 0;
    // The chunk the edit falls in, and at most one beside it whose cut moved.
    EXPECT_GE(added, 1u);
    EXPECT_LE(added, 2u);
    EXPECT_EQ(versionOf(id, "big.bin"), edit.content);
  }
}

TEST_F(ChunksTest, AChunkedFileComesBackByteForByteThroughEveryReader) {
  struct Case {
    const char* name;
    std::string content;  // empty: a sparse file, written below
    bool executable;
  };
  const Case cases[] = {
      {"random.bin", randomBytes(3 << 20, 3), false},
      {"exactly-the-threshold.bin", randomBytes(kThreshold, 4), false},
      {"tool.run", randomBytes(2 << 20, 5), true},
      {"disk.img", "", false},
  };
  std::map<std::string, std::string> contents;
  for (const Case& c : cases) {
    std::string content = c.content;
    if (content.empty()) {  // a sparse file: data, a 16 MB hole, data
      const std::string head = randomBytes(300 << 10, 6), tail = randomBytes(100 << 10, 7);
      content = head + std::string(16 << 20, '\0') + tail;
      const int fd = ::open(path(c.name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
      ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), head.size() + (16 << 20)),
                static_cast<ssize_t>(tail.size()));
      ::close(fd);
    } else {
      write(c.name, content);
    }
    if (c.executable) fs::permissions(path(c.name), fs::perms::owner_exec, fs::perm_options::add);
    contents[c.name] = content;
  }
  write("small.txt", "small\n");
  const std::string id = snap().id;
  ASSERT_FALSE(id.empty());

  auto files = history->files(id, "");
  ASSERT_TRUE(files.ok()) << files.status().message();
  std::map<std::string, std::uint64_t> listed;
  for (const VersionFile& file : *files) listed[file.path] = file.size;
  EXPECT_EQ(listed.size(), std::size(cases) + 1);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string& content = contents[c.name];
    EXPECT_EQ(typeIn(id, c.name), "tree");
    EXPECT_EQ(listed[c.name], content.size());
    EXPECT_EQ(versionOf(id, c.name), content);
    // Its id is the one stock git gives the content, now and in the history.
    const std::string object = gitHashObject(path(c.name));
    auto versions = history->versions(c.name);
    ASSERT_TRUE(versions.ok());
    ASSERT_EQ(versions->size(), 1u);
    EXPECT_EQ((*versions)[0].object, object);
    EXPECT_EQ((*versions)[0].size, content.size());
    EXPECT_FALSE((*versions)[0].isFolder);
    auto current = history->currentObject(c.name);
    ASSERT_TRUE(current.ok());
    EXPECT_EQ(*current, object);
  }

  // Stock git: the store is sound, and a checkout gives each file back as
  // its chunks, one after another.
  const std::string fsck = git("fsck --strict --full --no-dangling");
  EXPECT_EQ(fsck, "") << fsck;
  const std::string checkout = tmp.path() + "/checkout";
  ASSERT_EQ(shell("git clone -q " + repository + " " + checkout).status, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Run joined = shell("cat " + checkout + "/" + c.name + "/*");
    EXPECT_EQ(joined.status, 0);
    EXPECT_TRUE(joined.output == contents[c.name]);
  }

  // Each changed, and the snapshot's folder counts each as one changed file.
  for (const Case& c : cases) write(c.name, "changed");
  ASSERT_FALSE(snap().id.empty());
  auto root = history->versions("", 1);
  ASSERT_TRUE(root.ok());
  EXPECT_EQ((*root)[0].changedFiles, std::size(cases));

  // Restored over the change, and where it was deleted: its bytes, its
  // executable bit, its holes.
  for (bool deleted : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (deleted ? ", deleted" : ", replaced"));
      if (deleted) fs::remove(path(c.name));
      auto restored = history->restore(c.name, id);
      ASSERT_TRUE(restored.ok()) << restored.status().message();
      EXPECT_TRUE(read(path(c.name)) == contents[c.name]);
      if (deleted) {
        EXPECT_EQ(
            (fs::status(path(c.name)).permissions() & fs::perms::owner_exec) != fs::perms::none,
            c.executable);
      }
      if (std::string(c.name) == "disk.img") {
        EXPECT_LT(allocated(path(c.name)), contents[c.name].size() / 2);
      }
      write(c.name, "changed again");
    }
  }
  auto checked = history->check();
  ASSERT_TRUE(checked.ok());
  EXPECT_TRUE(checked->intact()) << checked->problems.front();
}

TEST_F(ChunksTest, AStoreThatKeptLargeFilesWholeStillReadsRestoresAndCompares) {
  // Made as before chunks: the file is below the threshold then, and stored whole.
  history->setChunkedFileBytes(History::kChunkedFileBytes);
  const std::string old = randomBytes(2 << 20, 8);
  write("big.bin", old);
  // Past the clock's tick, so that the stat cache vouches for it afterwards.
  ::usleep(50'000);
  const std::string whole = snap().id;
  ASSERT_EQ(typeIn(whole, "big.bin"), "blob");
  const std::string object = gitHashObject(path("big.bin"));

  // Now it is large. Unchanged, the stat cache's whole blob is kept as it is.
  reopenChunked();
  write("other.txt", "other\n");
  const std::string trusted = snap().id;
  EXPECT_EQ(typeIn(trusted, "big.bin"), "blob");
  // Written again with the same content: chunks now, the same content and
  // so no new version of it.
  write("big.bin", old);
  const std::string rewritten = snap().id;
  ASSERT_FALSE(rewritten.empty());
  EXPECT_EQ(typeIn(rewritten, "big.bin"), "tree");
  auto versions = history->versions("big.bin");
  ASSERT_TRUE(versions.ok());
  ASSERT_EQ(versions->size(), 1u);
  EXPECT_EQ((*versions)[0].id, whole);
  EXPECT_EQ((*versions)[0].object, object);
  EXPECT_EQ(*history->currentObject("big.bin"), object);

  // Changed: restore previous brings the whole blob's content back, and the
  // next one the chunked content.
  const std::string changed = randomBytes(2 << 20, 9);
  write("big.bin", changed);
  ASSERT_FALSE(snap().id.empty());
  auto back = history->restore("big.bin", std::nullopt);
  ASSERT_TRUE(back.ok()) << back.status().message();
  EXPECT_EQ(back->version, rewritten);  // the latest with other content, here in chunks
  EXPECT_TRUE(read(path("big.bin")) == old);
  auto again = history->restore("big.bin", std::nullopt);
  ASSERT_TRUE(again.ok()) << again.status().message();
  EXPECT_TRUE(read(path("big.bin")) == changed);
  fs::remove(path("big.bin"));
  auto fromWhole = history->restore("big.bin", whole);
  ASSERT_TRUE(fromWhole.ok()) << fromWhole.status().message();
  EXPECT_TRUE(read(path("big.bin")) == old);
  EXPECT_TRUE(versionOf(whole, "big.bin") == old);
}

// Chunks go to a pack of their own with no deltas tried (a window of random
// chunks cost minutes of CPU for a 1 GB file), while the versions of a small
// file are still deltas of each other; whether packed whole or tidied.
TEST_F(ChunksTest, APackKeepsEveryChunkUndeltifiedAndEveryVersionReadsBack) {
  const struct {
    const char* what;
    bool tidy;  // else `tarvine pack`
  } cases[] = {{"packed whole", false}, {"tidied after its snapshots", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    startAfresh();
    reopenChunked();
    std::vector<std::pair<std::string, std::string>> kept;  // snapshot, content
    std::string content = randomBytes(3 << 20, 10), notes;
    for (int i = 0; i < 2000; ++i) notes += "note " + std::to_string(i) + " of a file edited\n";
    std::set<std::string> chunks, noteVersions;
    for (int round = 0; round < 4; ++round) {
      // 5,000 bytes of a 64 KB chunk: the new chunk would be a good delta of
      // the old one, were deltas tried.
      content.replace(static_cast<std::size_t>(round) * 700'000, 5000,
                      randomBytes(5000, 11 + round));
      write("big.bin", content);
      notes.replace(static_cast<std::size_t>(round) * 9000, 4, "edit");
      write("notes.txt", notes);
      kept.emplace_back(snap().id, content);
      for (const std::string& chunk : chunkIds(kept.back().first, "big.bin")) chunks.insert(chunk);
      noteVersions.insert(git("rev-parse " + kept.back().first + ":notes.txt").substr(0, 40));
    }
    ASSERT_TRUE((c.tidy ? history->tidy() : history->pack()).ok());
    // Every chunk is in a pack, none loose.
    const std::string counted = git("count-objects -v");
    EXPECT_NE(counted.find("count: 0\n"), std::string::npos) << counted;
    // verify-pack names a delta's base after its depth.
    std::set<std::string> deltas;
    for (const auto& index : fs::directory_iterator(repository + "/objects/pack")) {
      if (index.path().extension() != ".idx") continue;
      std::istringstream lines(git("verify-pack -v " + index.path().string()));
      for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words{std::istream_iterator<std::string>(fields), {}};
        if (words.size() == 7) deltas.insert(words[0]);
      }
    }
    for (const std::string& chunk : chunks) {
      EXPECT_EQ(shell("git --git-dir=" + repository + " cat-file -e " + chunk).status, 0) << chunk;
      EXPECT_EQ(deltas.count(chunk), 0u) << chunk;
    }
    std::size_t deltaNotes = 0;
    for (const std::string& note : noteVersions) deltaNotes += deltas.count(note);
    EXPECT_GE(deltaNotes, noteVersions.size() - 1);
    reopenChunked();
    for (const auto& [id, expected] : kept) {
      EXPECT_TRUE(versionOf(id, "big.bin") == expected) << id;
    }
    auto checked = history->check();
    ASSERT_TRUE(checked.ok());
    EXPECT_TRUE(checked->intact()) << checked->problems.front();
    const std::string fsck = git("fsck --strict --full --no-dangling");
    EXPECT_EQ(fsck, "") << fsck;
  }
}

TEST_F(ChunksTest, CheckFindsChunksMissingOrNotTheContentTheFileNames) {
  const struct {
    const char* what;
    bool swap;  // else a chunk is removed
  } cases[] = {{"a chunk gone", false},
               // Each chunk whole, but not in the content the file names.
               {"two chunks swapped", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    history.reset();
    fs::remove_all(repository);
    reopenChunked();
    write("big.bin", randomBytes(2 << 20, 20));
    const std::string id = snap().id;
    if (c.swap) {  // by stock git: the first two chunks' ids swapped
      std::istringstream listed(git("ls-tree " + id + ":big.bin"));
      std::vector<std::string> lines;
      for (std::string line; std::getline(listed, line);) lines.push_back(line);
      constexpr std::size_t kId = std::string_view("100644 blob ").size();
      const std::string first = lines[1].substr(kId, 40);
      lines[1].replace(kId, 40, lines[2].substr(kId, 40));
      lines[2].replace(kId, 40, first);
      std::ofstream entries(tmp.path() + "/entries");
      for (const std::string& line : lines) entries << line << "\n";
      entries.close();
      const std::string tree = git("mktree --missing < " + tmp.path() + "/entries").substr(0, 40);
      const std::string top = shell("printf '040000 tree " + tree +
                                    "\\tbig.bin\\n' | git --git-dir=" + repository + " mktree")
                                  .output.substr(0, 40);
      git("update-ref HEAD " +
          git("commit-tree " + top + " -p " + id + " -m swapped").substr(0, 40));
    } else {
      const std::string chunk = chunkIds(id, "big.bin")[3];
      fs::remove(repository + "/objects/" + chunk.substr(0, 2) + "/" + chunk.substr(2));
    }
    auto checked = history->check();
    ASSERT_TRUE(checked.ok());
    ASSERT_FALSE(checked->intact());
    EXPECT_NE(checked->problems.front().find("big.bin"), std::string::npos)
        << checked->problems.front();
  }
}

}  // namespace
}  // namespace tarvine::history
