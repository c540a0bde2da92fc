// Snapshots that tell the truth: no edit missed on a file system with coarse
// times, no file stored torn, nothing that could not be read recorded as
// deleted, and no unmounted root recorded as emptied.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "history/History.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

// Times as a file system that keeps whole seconds shows them (ext4 with
// 128-byte inodes, FAT, many network shares).
class CoarseningFolderAccess : public PosixFolderAccess {
 public:
  int statAt(int at, const std::string& name, struct stat& info) override {
    const int done = PosixFolderAccess::statAt(at, name, info);
    coarsen(info);
    return done;
  }
  int statOpen(int fd, struct stat& info) override {
    const int done = PosixFolderAccess::statOpen(fd, info);
    coarsen(info);
    return done;
  }

 private:
  static void coarsen(struct stat& info) {
    info.st_atim.tv_nsec = info.st_mtim.tv_nsec = info.st_ctim.tv_nsec = 0;
  }
};

// A file written again while it is read: the first read of each opening of
// `name` gets half of what it asked for, and then the whole file is written
// over in place with its next version, of the same size; `rewrites` times.
class TearingFolderAccess : public PosixFolderAccess {
 public:
  int openFile(int at, const std::string& name) override {
    const int fd = PosixFolderAccess::openFile(at, name);
    if (name == torn) {
      fresh.insert(fd);
    } else {
      fresh.erase(fd);  // a number reused by another file
    }
    return fd;
  }
  ssize_t read(int fd, void* buffer, size_t size) override {
    if (fresh.erase(fd) == 0 || rewrites == 0) return PosixFolderAccess::read(fd, buffer, size);
    const ssize_t got = PosixFolderAccess::read(fd, buffer, size / 2);
    --rewrites;
    rewrite();
    return got;
  }

  std::string torn;
  int rewrites = 0;
  std::function<void()> rewrite;
  std::set<int> fresh;
};

// A folder some of whose entries cannot be read, each failing at one step.
class FailingFolderAccess : public PosixFolderAccess {
 public:
  enum class Step { stat, open, list, read, readLink };

  int statAt(int at, const std::string& name, struct stat& info) override {
    if (failsAt(name, Step::stat)) return errno = EIO, -1;
    return PosixFolderAccess::statAt(at, name, info);
  }
  int openFolder(int at, const std::string& name) override {
    if (failsAt(name, Step::open)) return errno = EACCES, -1;
    return remember(PosixFolderAccess::openFolder(at, name), failsAt(name, Step::list));
  }
  int openFile(int at, const std::string& name) override {
    if (failsAt(name, Step::open)) return errno = EACCES, -1;
    return remember(PosixFolderAccess::openFile(at, name), failsAt(name, Step::read));
  }
  int list(int folder, std::vector<std::string>& names) override {
    if (failing.count(folder) != 0) return errno = EACCES, -1;
    return PosixFolderAccess::list(folder, names);
  }
  ssize_t read(int fd, void* buffer, size_t size) override {
    if (failing.count(fd) != 0) return errno = EIO, -1;
    return PosixFolderAccess::read(fd, buffer, size);
  }
  ssize_t readLink(int at, const std::string& name, char* buffer, size_t size) override {
    if (failsAt(name, Step::readLink)) return errno = EIO, -1;
    return PosixFolderAccess::readLink(at, name, buffer, size);
  }

  std::map<std::string, Step> steps;  // by name

 private:
  bool failsAt(const std::string& name, Step step) const {
    const auto found = steps.find(name);
    return found != steps.end() && found->second == step;
  }
  int remember(int fd, bool fails) {
    if (fails) {
      failing.insert(fd);
    } else {
      failing.erase(fd);
    }
    return fd;
  }
  std::set<int> failing;
};

// The root as another device shows it: the device of its folder, and of its
// parent folder.
class MovedFolderAccess : public PosixFolderAccess {
 public:
  int openRoot(const std::string& path) override {
    return rootFd = PosixFolderAccess::openRoot(path);
  }
  int statOpen(int fd, struct stat& info) override {
    const int done = PosixFolderAccess::statOpen(fd, info);
    if (fd == rootFd && device) info.st_dev = *device;
    return done;
  }
  int statAt(int at, const std::string& name, struct stat& info) override {
    const int done = PosixFolderAccess::statAt(at, name, info);
    if (at == rootFd && name == ".." && parentDevice) info.st_dev = *parentDevice;
    return done;
  }

  std::optional<dev_t> device, parentDevice;
  int rootFd = -1;
};

// Content as runs of one byte ("32768 a, 32768 b"), to say briefly what a
// torn file holds.
std::string runs(const std::string& content) {
  std::string said;
  for (std::size_t at = 0; at < content.size();) {
    const std::size_t end = std::min(content.find_first_not_of(content[at], at), content.size());
    said += (said.empty() ? "" : ", ") + std::to_string(end - at) + " " + content[at];
    at = end;
  }
  return said;
}

void write(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The file `relative` as snapshot `id` has it.
std::string versionOf(History& history, const std::string& id, const std::string& relative) {
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return "(no temporary file)";
  std::string content;
  if (history.writeFileVersion(id, relative, ::fileno(out)).ok()) {
    std::rewind(out);
    for (int c; (c = std::fgetc(out)) != EOF;) content += static_cast<char>(c);
  } else {
    content = "(not in " + id + ")";
  }
  std::fclose(out);
  return content;
}

// How a run of edits went.
struct Edits {
  int missed = 0;
  // Edits made within the second in which the snapshot before them began:
  // those a stat cache that trusts whole-second times would miss.
  int withinTheSecond = 0;
  std::string firstMiss;
};

constexpr int kEdits = 200;

// Writes one file `kEdits` times, each time with other content of the same
// size right after the snapshot before, and snapshots after each edit: the
// edits that no snapshot recorded as they were. Makes no assertion, so that
// it can run in a child process.
Edits sameSizeEdits(History& history, const std::string& root) {
  auto content = [](int i) {
    char text[32];
    std::snprintf(text, sizeof text, "edit number %04d\n", i);
    return std::string(text);
  };
  Edits edits;
  std::time_t snapped = 0;
  for (int i = 0; i <= kEdits; ++i) {
    {
      // Written over in place: the same inode, the same size.
      std::ofstream out(root + "/notes.txt", std::ios::binary | std::ios::trunc);
      out << content(i);
    }
    if (i > 0 && std::time(nullptr) == snapped) ++edits.withinTheSecond;
    snapped = std::time(nullptr);
    auto taken = history.snapshot(Reason::automatic);
    const std::string recorded = !taken.ok()         ? taken.status().message()
                                 : taken->id.empty() ? "(no change recorded)"
                                                     : versionOf(history, taken->id, "notes.txt");
    if (recorded != content(i)) {
      ++edits.missed;
      if (edits.firstMiss.empty()) edits.firstMiss = "edit " + std::to_string(i) + ": " + recorded;
    }
  }
  return edits;
}

class SnapshotTest : public ::testing::Test {
 protected:
  SnapshotTest() : root(tmp.file("root")), repository(tmp.file("history/root.git")) {}
  void SetUp() override {
    fs::create_directories(root);
    ASSERT_NO_FATAL_FAILURE(open(PosixFolderAccess::shared()));
  }
  void open(FolderAccess& access) {
    auto opened = History::open(repository, root, access);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    history = std::move(*opened);
  }
  Snapshot snap() {
    auto taken = history->snapshot(Reason::manual);
    EXPECT_TRUE(taken.ok()) << taken.status().message();
    return taken.ok() ? *taken : Snapshot{};
  }
  // What git itself reads in the repository.
  std::string git(const std::string& arguments) {
    const std::string command = "git --git-dir=" + repository + " " + arguments + " 2>&1";
    std::string out;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "cannot run " + command;
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    EXPECT_EQ(::pclose(pipe), 0) << command << "\n" << out;
    return out;
  }
  std::size_t versionCount(const std::string& relative) {
    auto versions = history->versions(relative);
    return versions.ok() ? versions->size() : 0;
  }

  testing::TempDir tmp;
  std::string root, repository;
  std::unique_ptr<History> history;
};

TEST_F(SnapshotTest, ASameSizeEditWithinTheSecondOfASnapshotIsNeverMissed) {
  CoarseningFolderAccess coarse;
  ASSERT_NO_FATAL_FAILURE(open(coarse));
  const Edits edits = sameSizeEdits(*history, root);
  // Most edits must fall within a snapshot's second, or nothing was tried.
  ASSERT_GE(edits.withinTheSecond, kEdits / 2);
  EXPECT_EQ(edits.missed, 0) << edits.firstMiss;
}

// Run in a child: mounts `image` at `mount` in a mount namespace of the
// child's own, so that nothing stays mounted whatever happens, and makes the
// edits there. Writes "MISSED WITHIN-THE-SECOND FIRST-MISS" to `result`, or
// why it could not; exits with kCannotMount when it could not mount.
constexpr int kCannotMount = 2;
int editsOnAMountedImage(const std::string& image, const std::string& mount,
                         const std::string& repository, const std::string& result) {
  auto say = [&](const std::string& line, int code) {
    std::ofstream(result) << line;
    return code;
  };
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return say(std::string("no mount namespace: ") + std::strerror(errno), kCannotMount);
  }
  const std::string command = "mount -o loop " + image + " " + mount + " >" + result + " 2>&1";
  if (std::system(command.c_str()) != 0) return kCannotMount;
  const std::string folder = mount + "/root";
  fs::create_directories(folder);
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || info.st_mtim.tv_nsec != 0) {
    return say("the image keeps times finer than whole seconds", 1);
  }
  auto opened = History::open(repository, folder);
  if (!opened.ok()) return say(opened.status().message(), 1);
  const Edits edits = sameSizeEdits(**opened, folder);
  return say(std::to_string(edits.missed) + " " + std::to_string(edits.withinTheSecond) + " " +
                 edits.firstMiss,
             0);
}

// The same on a real file system that keeps whole seconds: a small ext4
// image with 128-byte inodes, loop-mounted.
TEST_F(SnapshotTest, OnAFileSystemOfWholeSecondsNoSameSizeEditIsMissed) {
  const std::string image = tmp.file("whole-seconds.img"), mount = tmp.file("mount");
  const std::string result = tmp.file("result");
  fs::create_directories(mount);
  const std::string make =
      "truncate -s 8M " + image + " && mkfs.ext4 -q -F -I 128 " + image + " >/dev/null 2>&1";
  std::string unable;
  int status = kCannotMount;
  if (::geteuid() != 0) {
    unable = "mounting a file system of whole seconds needs root";
  } else if (std::system(make.c_str()) != 0) {
    unable = "mkfs.ext4 cannot make an image (e2fsprogs)";
  } else {
    status = testing::inChild(
        [&] { return editsOnAMountedImage(image, mount, tmp.file("history/mounted.git"), result); },
        120);
  }
  std::stringstream said;
  said << std::ifstream(result).rdbuf();
  if (status == kCannotMount) {
    if (unable.empty()) unable = "cannot mount a loop device here: " + said.str();
#ifdef TARVINE_REQUIRE_ALL
    FAIL() << unable << "; this build requires every test to run";
#else
    GTEST_SKIP() << unable;
#endif
  }
  ASSERT_EQ(status, 0) << said.str();
  int missed = -1, withinTheSecond = -1;
  said >> missed >> withinTheSecond;
  ASSERT_GE(withinTheSecond, kEdits / 2) << said.str();
  EXPECT_EQ(missed, 0) << said.str();
}

TEST_F(SnapshotTest, AFileRewrittenWhileItIsReadIsNeverStoredTorn) {
  TearingFolderAccess tearing;
  ASSERT_NO_FATAL_FAILURE(open(tearing));
  constexpr std::size_t kSize = 64 * 1024, kChunked = 2 << 20;
  history->setChunkedFileBytes(1 << 20);  // so that kChunked is stored in chunks
  const struct {
    const char* what;
    std::size_t size;
    bool inLastSnapshot;
    int rewrites;
    // What the snapshot holds: a version's letter, or none.
    std::optional<int> kept;
    std::optional<Skipped> skipped;
  } cases[] = {
      {"rewritten once: read again whole", kSize, true, 1, 1, std::nullopt},
      {"rewritten at every reading: the last snapshot's version stays", kSize, true, 100, 0,
       Skipped{"torn", Skipped::Kind::changedWhileRead, "", true}},
      {"rewritten at every reading, and new: left out", kSize, false, 100, std::nullopt,
       Skipped{"torn", Skipped::Kind::changedWhileRead, "", false}},
      {"in chunks, rewritten once: read again whole", kChunked, true, 1, 1, std::nullopt},
      {"in chunks, rewritten at every reading: the last version stays", kChunked, true, 100, 0,
       Skipped{"torn", Skipped::Kind::changedWhileRead, "", true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto version = [&](int n) { return std::string(c.size, static_cast<char>('a' + n)); };
    fs::remove_all(root);
    write(root + "/other", "unrelated");
    if (c.inLastSnapshot) write(root + "/torn", version(0));
    snap();
    write(root + "/other", std::string("changed ") + c.what);  // a snapshot is recorded
    // Written again, so that the cache cannot vouch for it: it is read.
    write(root + "/torn", version(0));
    int next = 0;
    tearing.torn = "torn";
    tearing.rewrites = c.rewrites;
    tearing.rewrite = [&] {
      std::fstream over(root + "/torn", std::ios::in | std::ios::out | std::ios::binary);
      over << version(++next);
    };
    const Snapshot taken = snap();
    tearing.rewrites = 0;
    ASSERT_FALSE(taken.id.empty());
    if (c.kept) {
      EXPECT_EQ(runs(versionOf(*history, taken.id, "torn")), runs(version(*c.kept)));
    } else {
      EXPECT_EQ(git("ls-tree --name-only " + taken.id), "other\n");
    }
    ASSERT_EQ(taken.skipped.size(), c.skipped ? 1u : 0u);
    if (c.skipped) {
      EXPECT_EQ(taken.skipped[0].path, c.skipped->path);
      EXPECT_EQ(taken.skipped[0].kind, c.skipped->kind);
      EXPECT_EQ(taken.skipped[0].carried, c.skipped->carried);
    }
  }
  git("fsck --strict --no-dangling");
}

TEST_F(SnapshotTest, WhatCannotBeReadIsKeptAsTheLastSnapshotHadItNeverDeleted) {
  FailingFolderAccess failing;
  ASSERT_NO_FATAL_FAILURE(open(failing));
  using Step = FailingFolderAccess::Step;
  const struct {
    std::string name;
    Step step;
    bool folder = false, link = false;
  } entries[] = {
      {"unstatable", Step::stat},       {"unopenable", Step::open},
      {"unreadable", Step::read},       {"closed", Step::open, true},
      {"unlistable", Step::list, true}, {"link", Step::readLink, false, true},
  };
  for (const auto& entry : entries) {
    if (entry.folder) {
      write(root + "/" + entry.name + "/inside", "in " + entry.name);
    } else if (entry.link) {
      fs::create_symlink("target", root + "/" + entry.name);
    } else {
      write(root + "/" + entry.name, "content of " + entry.name);
    }
  }
  write(root + "/other", "one");
  const Snapshot first = snap();
  // Then each changes, and none can be read; nor can a file made since.
  for (const auto& entry : entries) {
    if (entry.link) {
      // Made again, so that the cache cannot vouch for it: it is read.
      fs::remove(root + "/" + entry.name);
      fs::create_symlink("target", root + "/" + entry.name);
    } else {
      write(root + "/" + entry.name + (entry.folder ? "/inside" : ""), "changed");
    }
    failing.steps[entry.name] = entry.step;
  }
  write(root + "/new", "never read");
  failing.steps["new"] = Step::read;
  write(root + "/other", "two");
  const Snapshot second = snap();
  ASSERT_FALSE(second.id.empty());
  for (const auto& entry : entries) {
    EXPECT_EQ(git("rev-parse " + second.id + ":" + entry.name),
              git("rev-parse " + first.id + ":" + entry.name))
        << entry.name;
  }
  EXPECT_EQ(git("ls-tree --name-only " + second.id), git("ls-tree --name-only " + first.id));
  std::map<std::string, bool> carried;
  for (const Skipped& skipped : second.skipped) {
    EXPECT_EQ(skipped.kind, Skipped::Kind::unreadable) << skipped.path;
    carried[skipped.path] = skipped.carried;
  }
  EXPECT_EQ(carried, (std::map<std::string, bool>{{"closed", true},
                                                  {"link", true},
                                                  {"new", false},
                                                  {"unlistable", true},
                                                  {"unopenable", true},
                                                  {"unreadable", true},
                                                  {"unstatable", true}}));
  for (const auto& entry : entries) {
    auto versions = history->versions(entry.name);
    ASSERT_TRUE(versions.ok());
    EXPECT_EQ(versions->size(), 1u) << entry.name << " must not be shown as deleted";
  }
  // Readable again: what it is now is recorded.
  failing.steps.clear();
  const Snapshot third = snap();
  EXPECT_TRUE(third.skipped.empty());
  EXPECT_EQ(versionOf(*history, third.id, "unreadable"), "changed");
  EXPECT_EQ(versionOf(*history, third.id, "unlistable/inside"), "changed");
  EXPECT_EQ(versionOf(*history, third.id, "new"), "never read");
}

// A root whose disk is gone is not recorded as emptied; it is recorded again
// once it is back. One that the user emptied is recorded as emptied.
TEST_F(SnapshotTest, ARootWhoseDiskIsGoneIsUnavailableAndNothingIsRecorded) {
  MovedFolderAccess moved;
  ASSERT_NO_FATAL_FAILURE(open(moved));
  const std::string away = tmp.file("away");
  using Change = std::function<void()>;
  const Change nothing = [] {};
  const Change putBack = [&] {
    fs::remove_all(root);
    fs::rename(away, root);
  };
  const struct {
    const char* what;
    // The root's device and its parent's when the first snapshot is taken.
    std::optional<dev_t> device, parentDevice;
    Change change, back;
    bool available;
  } cases[] = {
      {"emptied by the user", std::nullopt, std::nullopt,
       [&] {
         for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
       },
       nothing, true},
      {"an empty folder in its place, as an unmounted disk leaves", std::nullopt, std::nullopt,
       [&] {
         fs::rename(root, away);
         fs::create_directories(root);
       },
       putBack, false},
      {"missing", std::nullopt, std::nullopt, [&] { fs::rename(root, away); },
       [&] { fs::rename(away, root); }, false},
      {"no longer a mount of its own, its old files beneath", 100, 200, [&] { moved.device = 200; },
       [&] { moved.device = 100; }, false},
      {"another disk", 100, 200,
       [&] {
         fs::rename(root, away);
         write(root + "/elsewhere.txt", "another disk's");
         moved.device = 300;
       },
       [&] {
         putBack();
         moved.device = 100;
       },
       false},
      {"the same disk plugged in again, numbered anew", 100, 200, [&] { moved.device = 101; },
       nothing, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(root);
    fs::remove(tmp.file("history/root.git/tarvine-stat-cache"));
    write(root + "/a.txt", std::string("a of ") + c.what);
    write(root + "/sub/b.txt", "b");
    moved.device = c.device;
    moved.parentDevice = c.parentDevice;
    ASSERT_FALSE(snap().id.empty());
    const std::size_t versions = versionCount(""), ofA = versionCount("a.txt");
    c.change();
    auto taken = history->snapshot(Reason::automatic);
    const Status there = history->availability();
    if (!c.available) {
      ASSERT_FALSE(taken.ok());
      EXPECT_EQ(taken.status().kind(), Status::Kind::unavailable);
      EXPECT_EQ(there.kind(), Status::Kind::unavailable);
      EXPECT_EQ(versionCount(""), versions);
      EXPECT_EQ(versionCount("a.txt"), ofA);
      c.back();
      EXPECT_TRUE(history->availability().ok()) << history->availability().message();
      taken = history->snapshot(Reason::automatic);
      ASSERT_TRUE(taken.ok()) << taken.status().message();
      EXPECT_TRUE(taken->id.empty());
    } else {
      ASSERT_TRUE(taken.ok()) << taken.status().message();
      EXPECT_TRUE(there.ok()) << there.message();
    }
    EXPECT_TRUE(history->snapshot(Reason::automatic).ok());
  }
}

}  // namespace
}  // namespace tarvine::history
