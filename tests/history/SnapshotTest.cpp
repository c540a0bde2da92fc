// Snapshots that tell the truth: no edit missed on a file system with coarse
// times.

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

}  // namespace
}  // namespace tarvine::history
