#include "history/History.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "history/StatCache.h"
#include "tests/history/StoreFixture.h"
#include "tests/support/TempDir.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

class HistoryTest : public ::testing::Test {
 protected:
  HistoryTest() : root(tmp.path() + "/root"), repository(tmp.path() + "/history/root.git") {}
  void SetUp() override {
    fs::create_directories(root);
    ASSERT_NO_FATAL_FAILURE(reopen(PosixFolderAccess::shared()));
  }
  // The same history, reaching the folder through `access`.
  void reopen(FolderAccess& access) {
    auto opened = History::open(repository, root, access);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    history = std::move(*opened);
  }

  void write(const std::string& relative, const std::string& content) {
    fs::create_directories(fs::path(root + "/" + relative).parent_path());
    std::ofstream(root + "/" + relative, std::ios::binary | std::ios::trunc) << content;
  }
  std::string read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  // Waits until every file below the root is older than the clock that
  // stamps files: a snapshot trusts its cache only for files older than its
  // own start, and reads the others again.
  void settle() { EXPECT_TRUE(testing::settleBelow(root)) << "the file clock did not move"; }
  Snapshot snap(Reason reason = Reason::manual) {
    auto taken = history->snapshot(reason);
    EXPECT_TRUE(taken.ok()) << taken.status().message();
    return taken.ok() ? *taken : Snapshot{};
  }
  // A version's file, as `tarvine cat` prints it.
  std::string versionOf(const std::string& id, const std::string& relative) {
    std::FILE* out = std::tmpfile();
    if (out == nullptr) {
      ADD_FAILURE() << "no temporary file";
      return {};
    }
    EXPECT_TRUE(history->writeFileVersion(id, relative, ::fileno(out)).ok()) << relative;
    std::fflush(out);
    std::rewind(out);
    std::string content;
    for (int c; (c = std::fgetc(out)) != EOF;) content += static_cast<char>(c);
    std::fclose(out);
    return content;
  }
  // What git itself reads in the repository.
  std::string git(const std::string& arguments) {
    std::string command = "git --git-dir=" + repository + " " + arguments + " 2>&1";
    std::string out;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "cannot run " << command;
      return out;
    }
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    EXPECT_EQ(::pclose(pipe), 0) << command << "\n" << out;
    return out;
  }

  tarvine::testing::TempDir tmp;
  std::string root, repository;
  std::unique_ptr<History> history;
};

TEST_F(HistoryTest, EverythingInTheFolderIsKeptAsGitReadsIt) {
  write("a.txt", "one\n");
  write("bin", std::string("\0\xff\x01", 3));
  write("empty", "");
  write("deep/er/x.txt", "x");
  write("tool.sh", "#!/bin/sh\n");
  fs::permissions(root + "/tool.sh", fs::perms::owner_exec, fs::perm_options::add);
  fs::create_directories(root + "/hollow");
  // A folder holding a repository of its own is walked like any other.
  write("project/.git/HEAD", "ref: refs/heads/main\n");
  write("project/.GIT~/odd", "y");
  // Links are kept as links, never followed out of the root; FIFOs are not files.
  fs::create_symlink("/etc/passwd", root + "/outside-link");
  ASSERT_EQ(::mkfifo((root + "/pipe").c_str(), 0600), 0);
  // The history's own folder, when the root holds it, is no part of it.
  write("share/history/objects", "not mine");
  history->exclude(root + "/share/history");

  const Snapshot first = snap();
  ASSERT_FALSE(first.id.empty());
  EXPECT_EQ(first.filesRead, 7u);
  EXPECT_TRUE(first.skipped.empty());
  EXPECT_EQ(git("ls-tree -r --format='%(objectmode) %(path)' HEAD"),
            "100644 a.txt\n100644 bin\n100644 deep/er/x.txt\n100644 empty\n"
            "120000 outside-link\n100644 project/.GIT~~/odd\n100644 project/.git~/HEAD\n"
            "100755 tool.sh\n");
  EXPECT_NE(git("ls-tree -d HEAD").find("hollow"), std::string::npos);
  // Packed as git's gc would, nothing is lost and nothing is left loose.
  ASSERT_TRUE(history->pack().ok());
  write("a.txt", "two\n");
  snap();
  ASSERT_TRUE(history->pack().ok());  // the new pack replaces the old one
  const std::string objects = git("count-objects -v");
  EXPECT_EQ(objects.rfind("count: 0\n", 0), 0u) << objects;
  EXPECT_NE(objects.find("\npacks: 1\n"), std::string::npos) << objects;
  git("fsck --strict --no-dangling");
  EXPECT_EQ(versionOf(first.id, "bin"), std::string("\0\xff\x01", 3));
  EXPECT_EQ(versionOf(first.id, "outside-link"), "/etc/passwd");
  EXPECT_EQ(versionOf(first.id, "project/.git/HEAD"), "ref: refs/heads/main\n");
  EXPECT_EQ(versionOf(first.id, "project/.GIT~/odd"), "y");
}

TEST_F(HistoryTest, OnlyTheRootsOwnIgnoreRulesLeaveAnythingOut) {
  write(".gitignore", "*.txt\n");  // the folder's own: no rule of its history's
  write("a.txt", "a");
  write("x.tmp", "x");
  write("keep.tmp", "k");
  write("build/out.o", "o");
  std::ofstream(history->ignoreFile(), std::ios::app) << "*.tmp\n!keep.tmp\nbuild/\n";
  snap();
  EXPECT_EQ(git("ls-tree -r --name-only HEAD"), ".gitignore\na.txt\nkeep.tmp\n");
}

TEST_F(HistoryTest, UnchangedFilesAreNotReadAgainAndNothingNewIsNoSnapshot) {
  for (int i = 0; i < 20; ++i) write("f" + std::to_string(i), std::to_string(i));
  settle();
  EXPECT_EQ(snap().filesRead, 20u);
  const Snapshot same = snap();
  EXPECT_TRUE(same.id.empty());
  EXPECT_EQ(same.filesRead, 0u);
  write("f3", "changed");
  settle();
  const Snapshot changed = snap();
  EXPECT_FALSE(changed.id.empty());
  EXPECT_EQ(changed.filesRead, 1u);
  // An edit that keeps the size, with the modification time put back (as a
  // copy that preserves times does): only the change time tells.
  const std::string edited = root + "/f5";
  struct stat before {};
  ASSERT_EQ(::stat(edited.c_str(), &before), 0);
  write("f5", "X");
  const timespec times[2] = {before.st_atim, before.st_mtim};
  auto nanoseconds = [](const timespec& at) { return at.tv_sec * 1'000'000'000LL + at.tv_nsec; };
  struct stat after {};
  // A coarse clock may not have moved since the file was made: touch it
  // again until its change time has.
  for (int tries = 0; tries < 1000; ++tries) {
    ASSERT_EQ(::utimensat(AT_FDCWD, edited.c_str(), times, 0), 0);
    ASSERT_EQ(::stat(edited.c_str(), &after), 0);
    if (nanoseconds(after.st_ctim) != nanoseconds(before.st_ctim)) break;
    ::usleep(1000);
  }
  ASSERT_EQ(after.st_size, before.st_size);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(nanoseconds(after.st_mtim), nanoseconds(before.st_mtim));
  ASSERT_NE(nanoseconds(after.st_ctim), nanoseconds(before.st_ctim));
  settle();
  auto current = history->currentObject("f5");
  ASSERT_TRUE(current.ok()) << current.status().message();
  const Snapshot sameSize = snap();
  ASSERT_FALSE(sameSize.id.empty());
  EXPECT_EQ(sameSize.filesRead, 1u);
  EXPECT_EQ(versionOf(sameSize.id, "f5"), "X");
  auto versions = history->versions("f5");
  ASSERT_TRUE(versions.ok() && !versions->empty());
  EXPECT_EQ(versions->front().object, *current);  // shown as the current version
  // A lost cache costs reading, never history.
  fs::remove(repository + "/tarvine-stat-cache");
  EXPECT_TRUE(snap().id.empty());
}

// A writer killed while it moved the branch left git's lock on it: the next
// one goes on.
TEST_F(HistoryTest, AStaleLockOnTheBranchIsNoObstacle) {
  write("a", "before a kill");
  snap();
  // The branch HEAD names, whatever init.defaultBranch made it.
  const std::string head = read(repository + "/HEAD");
  ASSERT_EQ(head.rfind("ref: refs/heads/", 0), 0u) << head;
  const std::string branch = head.substr(5, head.find('\n') - 5);  // after "ref: "
  std::ofstream(repository + "/" + branch + ".lock") << "";
  write("a", "after a kill");
  const Snapshot next = snap();
  EXPECT_FALSE(next.id.empty());
  EXPECT_EQ(git("rev-parse " + branch), next.id + "\n");
}

TEST_F(HistoryTest, VersionsSayWhenAndWhyAPathChanged) {
  write("notes.txt", "first");
  snap(Reason::enabled);
  write("other", "unrelated");
  snap(Reason::automatic);
  write("notes.txt", "second, longer");
  snap(Reason::manual);
  fs::remove(root + "/notes.txt");
  snap(Reason::automatic);
  auto versions = history->versions("notes.txt");
  ASSERT_TRUE(versions.ok());
  ASSERT_EQ(versions->size(), 3u);
  const auto& v = *versions;
  EXPECT_EQ(v[0].change, Version::Change::deleted);
  EXPECT_EQ(v[0].size, std::nullopt);
  EXPECT_EQ(v[1].change, Version::Change::modified);
  EXPECT_EQ(v[1].reason, Reason::manual);
  EXPECT_EQ(v[1].size, 14u);
  EXPECT_EQ(v[2].change, Version::Change::added);
  EXPECT_EQ(v[2].reason, Reason::enabled);
  EXPECT_EQ(versionOf(v[2].id, "notes.txt"), "first");
  auto ofRoot = history->versions("");
  ASSERT_TRUE(ofRoot.ok());
  EXPECT_EQ(ofRoot->size(), 4u);
  EXPECT_FALSE(history->versions("../escape").ok());
}

TEST_F(HistoryTest, RestorePreviousBringsAFileBackAndCanBeUndone) {
  write("doc.txt", "old");
  fs::permissions(root + "/doc.txt", fs::perms::owner_exec, fs::perm_options::add);
  snap();
  write("doc.txt", "new");
  // Not snapshotted yet: the restore records it first.
  auto restored = history->restore("doc.txt", std::nullopt);
  ASSERT_TRUE(restored.ok()) << restored.status().message();
  EXPECT_EQ(read(root + "/doc.txt"), "old");
  EXPECT_FALSE(restored->before.empty());
  EXPECT_EQ(restored->written, std::vector<std::string>{"doc.txt"});
  EXPECT_NE(fs::status(root + "/doc.txt").permissions() & fs::perms::owner_exec, fs::perms::none);
  auto versions = history->versions("doc.txt");
  ASSERT_TRUE(versions.ok() && !versions->empty());
  EXPECT_EQ(versions->front().reason, Reason::beforeRestore);
  // The previous version now is the one before the restore: undo, from a
  // history that git has packed meanwhile.
  git("gc -q");
  ASSERT_TRUE(history->restore("doc.txt", std::nullopt).ok());
  EXPECT_EQ(read(root + "/doc.txt"), "new");
  // Nothing but the file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);
  EXPECT_FALSE(history->restore("never.txt", std::nullopt).ok());
}

// The previous version is the latest that differs from now, however many
// snapshots since left the path as it is, for a file and for a folder alike.
TEST_F(HistoryTest, RestorePreviousLooksPastSnapshotsThatLeftThePathAlone) {
  write("a/doc.txt", "v1");
  write("b/doc.txt", "v1");
  const Snapshot first = snap();
  write("a/doc.txt", "v2, longer");
  write("b/doc.txt", "v2, longer");
  snap();
  write("elsewhere.txt", "unrelated");
  snap();
  for (const std::string path : {"a/doc.txt", "b"}) {
    SCOPED_TRACE(path);
    const std::string file = path.substr(0, 1) + "/doc.txt";
    auto restored = history->restore(path, std::nullopt);
    ASSERT_TRUE(restored.ok()) << restored.status().message();
    EXPECT_EQ(restored->version, first.id);
    EXPECT_EQ(restored->written, std::vector<std::string>{file});
    EXPECT_EQ(read(root + "/" + file), "v1");
  }
}

TEST_F(HistoryTest, RestoringAFolderBringsBackChangedAndDeletedFilesAndKeepsNewOnes) {
  write("dir/keep.txt", "same");
  write("dir/edit.txt", "v1");
  write("dir/gone/deep.txt", "deep");
  snap();
  write("dir/edit.txt", "v2");
  fs::remove_all(root + "/dir/gone");
  write("dir/new.txt", "added since");
  auto restored = history->restore("dir", std::nullopt);
  ASSERT_TRUE(restored.ok()) << restored.status().message();
  EXPECT_EQ(read(root + "/dir/edit.txt"), "v1");
  EXPECT_EQ(read(root + "/dir/gone/deep.txt"), "deep");
  EXPECT_EQ(read(root + "/dir/new.txt"), "added since");
  EXPECT_EQ(restored->written, (std::vector<std::string>{"dir/edit.txt", "dir/gone/deep.txt"}));
}

// A link put in the way after a snapshot (by mistake or by an attacker) is
// replaced or refused, never written through.
TEST_F(HistoryTest, ARestoreNeverWritesThroughALink) {
  const std::string outside = tmp.path() + "/outside";
  fs::create_directories(outside);
  std::ofstream(outside + "/secret") << "untouched";
  write("sub/file", "mine");
  write("plain", "mine too");
  snap();
  fs::remove_all(root + "/sub");
  fs::create_directory_symlink(outside, root + "/sub");
  fs::remove(root + "/plain");
  fs::create_symlink(outside + "/secret", root + "/plain");
  auto refused = history->restore("sub/file", std::nullopt);
  EXPECT_FALSE(refused.ok());
  ASSERT_TRUE(history->restore("plain", std::nullopt).ok());
  EXPECT_FALSE(fs::is_symlink(root + "/plain"));
  EXPECT_EQ(read(root + "/plain"), "mine too");
  EXPECT_EQ(read(outside + "/secret"), "untouched");
  EXPECT_FALSE(fs::exists(outside + "/file"));
}

// The folder as a failing disk shows it: a file whose reads fail, writes that
// find no room, a rename refused, a sync that fails.
class FaultyFolderAccess : public PosixFolderAccess {
 public:
  int openFile(int at, const std::string& name) override {
    const int fd = PosixFolderAccess::openFile(at, name);
    // A number reused by another file reads again.
    if (name == unreadable) {
      failingReads.insert(fd);
    } else {
      failingReads.erase(fd);
    }
    return fd;
  }
  ssize_t read(int fd, void* buffer, size_t size) override {
    if (failingReads.count(fd) != 0) return errno = EIO, -1;
    return PosixFolderAccess::read(fd, buffer, size);
  }
  ssize_t write(int fd, const void* buffer, size_t size) override {
    if (fullDisk) return errno = ENOSPC, -1;
    return PosixFolderAccess::write(fd, buffer, size);
  }
  int rename(int at, const std::string& from, const std::string& to) override {
    if (renameRefused) return errno = EPERM, -1;
    return PosixFolderAccess::rename(at, from, to);
  }
  int sync(int fd) override {
    if (syncFails) return errno = EIO, -1;
    return PosixFolderAccess::sync(fd);
  }

  std::string unreadable;
  std::set<int> failingReads;
  bool fullDisk = false;
  bool renameRefused = false;
  bool syncFails = false;
};

TEST_F(HistoryTest, FaultsOfTheFolderAreReportedAndLeaveItAsItWas) {
  FaultyFolderAccess faulty;
  ASSERT_NO_FATAL_FAILURE(reopen(faulty));
  write("a.txt", "a1");
  write("b.txt", "b1");
  faulty.unreadable = "b.txt";
  const Snapshot first = snap();
  ASSERT_EQ(first.skipped.size(), 1u);
  EXPECT_EQ(first.skipped[0].path, "b.txt");
  EXPECT_EQ(first.skipped[0].kind, Skipped::Kind::unreadable);
  EXPECT_FALSE(first.skipped[0].carried);  // new: not in the history yet
  EXPECT_EQ(git("ls-tree -r --name-only HEAD"), "a.txt\n");
  faulty.unreadable.clear();
  snap();
  write("a.txt", "a2");
  for (bool* fault : {&faulty.fullDisk, &faulty.renameRefused, &faulty.syncFails}) {
    *fault = true;
    auto restored = history->restore("a.txt", std::nullopt);
    *fault = false;
    EXPECT_FALSE(restored.ok());
    EXPECT_EQ(read(root + "/a.txt"), "a2");
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 2);
  }
  EXPECT_TRUE(history->restore("a.txt", std::nullopt).ok());
  EXPECT_EQ(read(root + "/a.txt"), "a1");
}

// Each write, sync and rename asked of the folder, in order, with the inode
// it reached: a rename keeps it, so the temporary file and the one it became
// are the same entry.
class JournalingFolderAccess : public PosixFolderAccess {
 public:
  struct Call {
    std::string what;
    ino_t inode;
    std::string name;
  };
  ssize_t write(int fd, const void* buffer, size_t size) override {
    note("write", fd);
    return PosixFolderAccess::write(fd, buffer, size);
  }
  int sync(int fd) override {
    note("sync", fd);
    return PosixFolderAccess::sync(fd);
  }
  int rename(int at, const std::string& from, const std::string& to) override {
    note("rename", at, to);
    return PosixFolderAccess::rename(at, from, to);
  }

  std::vector<Call> calls;

 private:
  void note(const std::string& what, int fd, const std::string& name = "") {
    struct stat info {};
    if (::fstat(fd, &info) != 0) info.st_ino = 0;
    // A file written in several pieces is one entry.
    if (what == "write" && !calls.empty() && calls.back().what == what &&
        calls.back().inode == info.st_ino) {
      return;
    }
    calls.push_back({what, info.st_ino, name});
  }
};

// A restored file is on the disk before it takes its name, and the name is
// on the disk before the restore says it is done: a crash in between leaves
// the old file or the whole new one, never an empty one.
TEST_F(HistoryTest, ARestoreSyncsEachFileBeforeItsRenameAndItsFolderAfter) {
  JournalingFolderAccess journal;
  ASSERT_NO_FATAL_FAILURE(reopen(journal));
  write("dir/a.txt", "a1");
  write("dir/sub/b.txt", "b1");
  snap();
  write("dir/a.txt", "a2");
  write("dir/sub/b.txt", "b2");
  auto restored = history->restore("dir", std::nullopt);
  ASSERT_TRUE(restored.ok()) << restored.status().message();
  ASSERT_EQ(read(root + "/dir/a.txt"), "a1");
  ASSERT_EQ(read(root + "/dir/sub/b.txt"), "b1");
  std::map<ino_t, std::string> names;
  for (const std::string path : {"dir", "dir/a.txt", "dir/sub", "dir/sub/b.txt"}) {
    struct stat info {};
    ASSERT_EQ(::stat((root + "/" + path).c_str(), &info), 0) << path;
    names[info.st_ino] = path;
  }
  std::vector<std::string> calls;
  for (const auto& call : journal.calls) {
    const auto name = names.find(call.inode);
    calls.push_back(call.what + " " + (name != names.end() ? name->second : "elsewhere") +
                    (call.name.empty() ? "" : ": " + call.name));
  }
  EXPECT_EQ(calls,
            (std::vector<std::string>{"write dir/a.txt", "sync dir/a.txt", "rename dir: a.txt",
                                      "sync dir", "write dir/sub/b.txt", "sync dir/sub/b.txt",
                                      "rename dir/sub: b.txt", "sync dir/sub"}));
}

}  // namespace
}  // namespace tarvine::history
