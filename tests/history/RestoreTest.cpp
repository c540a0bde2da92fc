// Restores that keep everything they overwrite: what a restore replaces is in
// the history at the moment it is replaced, it keeps the replaced file's
// permissions, and it refuses, before writing anything, what it cannot do.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "history/History.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

class RestoreTest : public ::testing::Test {
 protected:
  RestoreTest() : root(tmp.path() + "/root"), repository(tmp.path() + "/history/root.git") {}
  void SetUp() override {
    fs::create_directories(root);
    ASSERT_NO_FATAL_FAILURE(reopen(PosixFolderAccess::shared()));
  }
  void reopen(FolderAccess& access) {
    auto opened = History::open(repository, root, access);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    history = std::move(*opened);
  }
  // An empty folder with no history yet, for the next case of a table.
  void fresh(FolderAccess& access = PosixFolderAccess::shared()) {
    history.reset();
    fs::remove_all(root);
    fs::remove_all(repository);
    fs::create_directories(root);
    reopen(access);
  }

  void write(const std::string& relative, const std::string& content) {
    fs::create_directories(fs::path(root + "/" + relative).parent_path());
    std::ofstream(root + "/" + relative, std::ios::binary | std::ios::trunc) << content;
  }
  std::string read(const std::string& relative) {
    std::stringstream text;
    text << std::ifstream(root + "/" + relative, std::ios::binary).rdbuf();
    return text.str();
  }
  std::string snap() {
    auto taken = history->snapshot(Reason::manual);
    EXPECT_TRUE(taken.ok()) << taken.status().message();
    return taken.ok() ? taken->id : "";
  }
  Restored restore(const std::string& relative, std::optional<std::string> id) {
    auto restored = history->restore(relative, std::move(id));
    EXPECT_TRUE(restored.ok()) << restored.status().message();
    return restored.ok() ? *restored : Restored{};
  }
  // What git itself reads in the repository (standard error too).
  std::string git(const std::string& arguments) {
    const std::string command = "git --git-dir=" + repository + " " + arguments + " 2>&1";
    std::string out;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    ::pclose(pipe);
    return out;
  }
  // Every content `relative` had in any snapshot.
  std::vector<std::string> contentsEver(const std::string& relative) {
    std::vector<std::string> contents;
    std::istringstream ids(git("rev-list HEAD"));
    for (std::string id; std::getline(ids, id);) {
      if (git("cat-file -t " + id + ":" + relative) == "blob\n") {
        contents.push_back(git("cat-file blob " + id + ":" + relative));
      }
    }
    return contents;
  }
  std::size_t snapshots() {
    const std::string ids = git("rev-list HEAD");
    return static_cast<std::size_t>(std::count(ids.begin(), ids.end(), '\n'));
  }
  // The names below the root that start like a restore's temporary files.
  std::vector<std::string> temporaries() {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(History::restoringPrefix, 0) == 0) {
        found.push_back(fs::relative(entry.path(), root).string());
      }
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  mode_t modeOf(const std::string& relative) {
    struct stat info {};
    EXPECT_EQ(::lstat((root + "/" + relative).c_str(), &info), 0) << relative;
    return info.st_mode & 07777;
  }

  testing::TempDir tmp;
  std::string root, repository;
  std::unique_ptr<History> history;
};

// The folder with a hook run whenever a restore makes one of its temporary
// files (the n-th, counted from 1), and files that cannot be opened or read.
class HookedFolderAccess : public PosixFolderAccess {
 public:
  int createFile(int at, const std::string& name, mode_t mode) override {
    if (name.rfind(History::restoringPrefix, 0) == 0 && onTemporary) onTemporary(++temporaries);
    return PosixFolderAccess::createFile(at, name, mode);
  }
  int openFile(int at, const std::string& name) override {
    if (name == unopenable) return errno = EACCES, -1;
    const int fd = PosixFolderAccess::openFile(at, name);
    if (name == unreadable)
      failingReads.insert(fd);
    else
      failingReads.erase(fd);
    return fd;
  }
  ssize_t read(int fd, void* buffer, size_t size) override {
    if (failingReads.count(fd) != 0) return errno = EIO, -1;
    return PosixFolderAccess::read(fd, buffer, size);
  }
  int rename(int at, const std::string& from, const std::string& to) override {
    if (onRename) onRename(++renames);
    return PosixFolderAccess::rename(at, from, to);
  }

  std::function<void(int)> onTemporary, onRename;
  int temporaries = 0, renames = 0;
  std::string unopenable, unreadable;
  std::set<int> failingReads;
};

TEST_F(RestoreTest, IgnoredFilesItOverwritesAreKeptFirst) {
  write("a.txt", "a1");
  write("notes.log", "log 1");
  write("build/out.o", "object 1");
  const std::string first = snap();
  std::ofstream(history->ignoreFile(), std::ios::app) << "*.log\nbuild/\n";
  write("a.txt", "a2");
  write("notes.log", "unsaved log");
  write("build/out.o", "object 2");
  write("build/cache.o", "left out, and not overwritten");
  write("other.log", "left out, and not overwritten");

  const Restored restored = restore("", first);
  EXPECT_EQ(read("notes.log"), "log 1");
  EXPECT_EQ(read("build/out.o"), "object 1");
  ASSERT_FALSE(restored.before.empty());
  // What the restore replaced is in the snapshot it took first; what it did
  // not touch is still left out.
  EXPECT_EQ(git("ls-tree -r --name-only " + restored.before), "a.txt\nbuild/out.o\nnotes.log\n");
  EXPECT_EQ(git("cat-file blob " + restored.before + ":notes.log"), "unsaved log");
  EXPECT_EQ(git("cat-file blob " + restored.before + ":build/out.o"), "object 2");
  EXPECT_EQ(read("build/cache.o"), "left out, and not overwritten");
}

TEST_F(RestoreTest, AFileThatCannotBeReadIsNotReplacedAndSaidSo) {
  const struct {
    const char* name;
    std::string HookedFolderAccess::*fault;
    const char* why;
  } cases[] = {{"cannot be opened", &HookedFolderAccess::unopenable, "b.txt: cannot open"},
               {"fails when read", &HookedFolderAccess::unreadable, "b.txt: cannot read"}};
  for (const auto& fault : cases) {
    SCOPED_TRACE(fault.name);
    HookedFolderAccess access;
    ASSERT_NO_FATAL_FAILURE(fresh(access));
    write("a.txt", "a1");
    write("b.txt", "b1");
    const std::string first = snap();
    write("a.txt", "a2");
    write("b.txt", "b2: unsaved, and unreadable");
    access.*fault.fault = "b.txt";
    const Restored restored = restore("", first);
    EXPECT_EQ(read("a.txt"), "a1");
    EXPECT_EQ(read("b.txt"), "b2: unsaved, and unreadable");
    EXPECT_EQ(restored.written, std::vector<std::string>{"a.txt"});
    ASSERT_EQ(restored.notReplaced.size(), 1u);
    EXPECT_EQ(restored.notReplaced[0].rfind(fault.why, 0), 0u) << restored.notReplaced[0];
    EXPECT_TRUE(temporaries().empty());
  }
}

// A restore of many large files takes minutes, and the user goes on working:
// a file edited after the snapshot the restore took first is recorded again
// before it is replaced.
TEST_F(RestoreTest, AFileEditedWhileTheRestoreRunsIsKeptBeforeItIsReplaced) {
  const struct {
    const char* name;
    const char* edited;
    int atTemporary;  // edited when the restore makes this temporary file
  } cases[] = {{"a later file", "b.txt", 1},
               {"the file being written", "b.txt", 2},
               {"the first file", "a.txt", 1}};
  for (const auto& edit : cases) {
    SCOPED_TRACE(edit.name);
    HookedFolderAccess access;
    ASSERT_NO_FATAL_FAILURE(fresh(access));
    write("a.txt", "a1");
    write("b.txt", "b1");
    const std::string first = snap();
    write("a.txt", "a2");
    write("b.txt", "b2");
    const std::string late = std::string("edited during the restore: ") + edit.name;
    access.onTemporary = [&](int made) {
      if (made == edit.atTemporary) write(edit.edited, late);
    };
    const Restored restored = restore("", first);
    EXPECT_EQ(read("a.txt"), "a1");
    EXPECT_EQ(read("b.txt"), "b1");
    EXPECT_TRUE(restored.notReplaced.empty());
    EXPECT_EQ(restored.keptDuring.size(), 1u);
    const auto kept = contentsEver(edit.edited);
    EXPECT_NE(std::find(kept.begin(), kept.end(), late), kept.end()) << "the edit was lost";
    EXPECT_TRUE(temporaries().empty());
  }
}

TEST_F(RestoreTest, ReplacedFilesKeepTheirPermissionBitsAndOwner) {
  const struct {
    const char* name;
    mode_t now;
  } cases[] = {{"private", 0600}, {"read-only", 0444}, {"group", 0660},
               {"tool", 0755},    {"odd", 0604},       {"setgid", 02750}};
  for (const auto& file : cases) write(file.name, "old");
  write("was-executable", "old");
  fs::permissions(root + "/was-executable", fs::perms(0755));
  const std::string first = snap();
  for (const auto& file : cases) {
    write(file.name, "new, longer");
    ASSERT_EQ(::chmod((root + "/" + file.name).c_str(), file.now), 0);
  }
  // The version's executable bit is no match for the bits the user gave since.
  write("was-executable", "new, longer");
  fs::permissions(root + "/was-executable", fs::perms(0640));
  const bool mayGiveAway = ::geteuid() == 0;
  if (mayGiveAway) {
    ASSERT_EQ(::chown((root + "/private").c_str(), 4242, 4343), 0);
  }

  const Restored restored = restore("", first);
  EXPECT_EQ(restored.written.size(), std::size(cases) + 1);
  for (const auto& file : cases) {
    SCOPED_TRACE(file.name);
    EXPECT_EQ(read(file.name), "old");
    EXPECT_EQ(modeOf(file.name), file.now);
  }
  EXPECT_EQ(modeOf("was-executable"), 0640u);
  if (mayGiveAway) {
    struct stat info {};
    ASSERT_EQ(::stat((root + "/private").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 4242u);
    EXPECT_EQ(info.st_gid, 4343u);
  }
}

TEST_F(RestoreTest, AFileThatIsGoneComesBackWithTheVersionsExecutableBitUnderTheUmask) {
  write("tool.sh", "#!/bin/sh\n");
  fs::permissions(root + "/tool.sh", fs::perms(0755));
  write("notes.txt", "text");
  const std::string first = snap();
  const struct {
    mode_t umask, tool, notes;
  } cases[] = {{022, 0755, 0644}, {027, 0750, 0640}, {077, 0700, 0600}};
  for (const auto& expected : cases) {
    SCOPED_TRACE(expected.umask);
    fs::remove(root + "/tool.sh");
    fs::remove(root + "/notes.txt");
    // The umask is the process's: set in a child of its own.
    const int status = testing::inChild([&] {
      ::umask(expected.umask);
      auto opened = History::open(repository, root);
      return opened.ok() && (*opened)->restore("", first).ok() ? 0 : 1;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(modeOf("tool.sh"), expected.tool);
    EXPECT_EQ(modeOf("notes.txt"), expected.notes);
  }
}

TEST_F(RestoreTest, ALinkComesBackAsALink) {
  write("target.txt", "pointed at");
  fs::create_symlink("target.txt", root + "/link");
  const std::string first = snap();
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"now a file",
       [&] {
         fs::remove(root + "/link");
         write("link", "a file now");
       }},
      {"now another link",
       [&] {
         fs::remove(root + "/link");
         fs::create_symlink("/etc", root + "/link");
       }},
      {"gone", [&] { fs::remove(root + "/link"); }},
  };
  for (const auto& now : cases) {
    SCOPED_TRACE(now.name);
    now.change();
    restore("link", first);
    ASSERT_TRUE(fs::is_symlink(root + "/link"));
    EXPECT_EQ(fs::read_symlink(root + "/link"), "target.txt");
    EXPECT_EQ(read("target.txt"), "pointed at");
  }
}

// A version named from the newest snapshot means the newest as the user saw
// it, not the one the restore records first.
TEST_F(RestoreTest, AVersionNamedFromTheNewestIsReadBeforeAnythingIsRecorded) {
  const struct {
    const char* version;
    const char* content;
  } cases[] = {{"HEAD~1", "v1"}, {"HEAD", "v2"}, {"HEAD^", "v1"}, {"HEAD~2", "v0"}};
  for (const auto& named : cases) {
    SCOPED_TRACE(named.version);
    ASSERT_NO_FATAL_FAILURE(fresh());
    for (const char* content : {"v0", "v1", "v2"}) {
      write("f.txt", content);
      snap();
    }
    write("f.txt", "unsaved");
    const Restored restored = restore("f.txt", named.version);
    EXPECT_EQ(read("f.txt"), named.content);
    EXPECT_EQ(git("cat-file blob " + restored.before + ":f.txt"), "unsaved");
  }
}

TEST_F(RestoreTest, ASparseFileStaysSparse) {
  constexpr off_t kSize = 16 << 20;
  {
    const std::string path = root + "/disk.img";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "start", 5, 0), 5);
    ASSERT_EQ(::pwrite(fd, "middle", 6, kSize / 2 + 1), 6);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);  // ends in a hole
    ::close(fd);
  }
  const std::string first = snap();
  for (const bool packed : {false, true}) {
    SCOPED_TRACE(packed ? "packed" : "loose");
    if (packed) git("gc -q");
    write("disk.img", "dense now");
    restore("disk.img", first);
    struct stat info {};
    ASSERT_EQ(::stat((root + "/disk.img").c_str(), &info), 0);
    EXPECT_EQ(info.st_size, kSize);
    EXPECT_LT(info.st_blocks * 512, 1 << 20) << "allocated for zeros";
    const std::string content = read("disk.img");
    EXPECT_EQ(content.substr(0, 5), "start");
    EXPECT_EQ(content.substr(kSize / 2 + 1, 6), "middle");
    EXPECT_EQ(content.find_first_not_of('\0', kSize / 2 + 7), std::string::npos);
  }
}

// A restore killed midway leaves its temporary file beside its place; the
// next open removes it, and only it: a file of the user's named like one is
// the user's, kept and recorded as any other.
TEST_F(RestoreTest, WhatAKilledRestoreLeftIsRemovedAndOnlyThat) {
  write("a.txt", "a1");
  write("d/b.txt", "b1");
  const std::string first = snap();
  write("a.txt", "a2");
  write("d/b.txt", "b2");
  const std::vector<std::string> mine = {".tarvine-restore-x",
                                         "d/.tarvine-restore-0123456789abcdef-1"};
  for (const std::string& name : mine) write(name, "the user's");
  const int status = testing::inChild([&] {
    HookedFolderAccess access;
    access.onRename = [](int renamed) {
      if (renamed == 2) ::_exit(0);  // killed with the second file written
    };
    auto opened = History::open(repository, root, access);
    (void)(*opened)->restore("", first);
    return 1;
  });
  ASSERT_EQ(status, 0);
  ASSERT_EQ(temporaries().size(), mine.size() + 1) << "nothing was left to remove";

  ASSERT_NO_FATAL_FAILURE(reopen(PosixFolderAccess::shared()));
  EXPECT_EQ(temporaries(), mine);
  snap();
  EXPECT_EQ(git("ls-tree -r --name-only HEAD"),
            ".tarvine-restore-x\na.txt\nd/.tarvine-restore-0123456789abcdef-1\nd/b.txt\n");
  EXPECT_EQ(read("d/b.txt"), "b2");
  restore("", first);  // and the restore, run again, completes
  EXPECT_EQ(read("d/b.txt"), "b1");
  EXPECT_EQ(temporaries().size(), mine.size());
}

// Where the folder has a file and the version a folder, or the reverse, the
// restore is refused before it writes anything or records anything.
TEST_F(RestoreTest, AFileOrFolderInTheVersionsWayIsRefusedWithNothingWritten) {
  const std::string outside = tmp.path() + "/outside";
  fs::create_directories(outside);
  const struct {
    const char* name;
    std::function<void()> version, now;
  } cases[] = {
      {"a file where the version has a folder", [&] { write("x/in.txt", "in"); },
       [&] { write("x", "a file now"); }},
      {"a folder where the version has a file", [&] { write("x", "a file then"); },
       [&] { write("x/in.txt", "a folder now"); }},
      {"a link where the version has a folder", [&] { write("x/in.txt", "in"); },
       [&] { fs::create_directory_symlink(outside, root + "/x"); }},
      {"a pipe where the version has a file", [&] { write("x", "a file then"); },
       [&] { ::mkfifo((root + "/x").c_str(), 0600); }},
  };
  for (const auto& conflict : cases) {
    SCOPED_TRACE(conflict.name);
    ASSERT_NO_FATAL_FAILURE(fresh());
    write("a.txt", "a1");  // before the conflict in the version's order
    conflict.version();
    const std::string first = snap();
    write("a.txt", "a2");
    fs::remove_all(root + "/x");
    conflict.now();
    const std::size_t before = snapshots();
    auto refused = history->restore("", first);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.status().kind(), Status::Kind::refused) << refused.status().message();
    EXPECT_EQ(read("a.txt"), "a2");
    EXPECT_EQ(snapshots(), before);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_TRUE(temporaries().empty());
  }
}

}  // namespace
}  // namespace tarvine::history
