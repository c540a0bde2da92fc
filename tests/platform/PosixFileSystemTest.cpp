#include "platform/posix/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

FileURL fileAt(const std::string& path) { return FileURL::fromPath(path, false); }
FileURL dirAt(const std::string& path) { return FileURL::fromPath(path, true); }

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class PosixFileSystemTest : public ::testing::Test {
 protected:
  TempDir tmp;
  PosixFileSystem files{tmp.path()};
};

TEST_F(PosixFileSystemTest, ContainerIsGrantedOnlyOnceItExists) {
  EXPECT_FALSE(files.containerURLForSecurityApplicationGroupIdentifier("G.group"));
  fs::create_directory(tmp.file("G.group"));
  auto url = files.containerURLForSecurityApplicationGroupIdentifier("G.group");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->rawPath(), tmp.path() + "/G.group/");
  // A name that would leave the data directory names no group.
  fs::create_directory(tmp.file("x"));
  for (const char* bad : {"", ".", "..", "../x", "G.group/../x"}) {
    EXPECT_FALSE(files.containerURLForSecurityApplicationGroupIdentifier(bad)) << bad;
  }
  // A plain file with the group's name is not a container.
  tmp.write("F.group", "");
  EXPECT_FALSE(files.containerURLForSecurityApplicationGroupIdentifier("F.group"));
}

TEST_F(PosixFileSystemTest, ModificationDateKeepsNanoseconds) {
  tmp.write("roots.json", "{}");
  timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, 123'456'789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tmp.file("roots.json").c_str(), times, 0), 0);
  EXPECT_EQ(files.contentModificationDate(fileAt(tmp.file("roots.json"))),
            Timestamp::fromUnix(1'700'000'000, 123'456'789));
  EXPECT_FALSE(files.contentModificationDate(fileAt(tmp.file("missing"))));
}

TEST_F(PosixFileSystemTest, ReadsRegularFilesWhole) {
  std::string big(300'000, 'x');
  big[123'456] = '\0';
  tmp.write("big", big);
  auto content = files.readFile(fileAt(tmp.file("big")));
  ASSERT_TRUE(content.ok());
  EXPECT_EQ(*content, big);
  EXPECT_FALSE(files.readFile(fileAt(tmp.file("missing"))).ok());
  // Through a link to a regular file is fine.
  fs::create_symlink(tmp.file("big"), tmp.file("link"));
  EXPECT_TRUE(files.readFile(fileAt(tmp.file("link"))).ok());
}

TEST_F(PosixFileSystemTest, RefusesWhatIsNotARegularFileWithoutBlocking) {
  ASSERT_EQ(::mkfifo(tmp.file("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(files.readFile(fileAt(tmp.file("fifo"))).ok());
  fs::create_directory(tmp.file("dir"));
  EXPECT_FALSE(files.readFile(fileAt(tmp.file("dir"))).ok());
  fs::create_symlink("/dev/zero", tmp.file("zero"));
  EXPECT_FALSE(files.readFile(fileAt(tmp.file("zero"))).ok());

  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string socketPath = tmp.file("sock");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_FALSE(files.readFile(fileAt(socketPath)).ok());
  ::close(sock);
}

TEST_F(PosixFileSystemTest, CreatesDirectoriesWithIntermediates) {
  FileURL deep = dirAt(tmp.file("a/b/c"));
  EXPECT_TRUE(files.createDirectory(deep).ok());
  EXPECT_TRUE(fs::is_directory(tmp.file("a/b/c")));
  EXPECT_TRUE(files.createDirectory(deep).ok());  // existing is success
  tmp.write("plain", "");
  Status blocked = files.createDirectory(dirAt(tmp.file("plain")));
  EXPECT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.errorNumber(), ENOTDIR);
  EXPECT_FALSE(files.createDirectory(dirAt(tmp.file("plain/sub"))).ok());
}

TEST_F(PosixFileSystemTest, AtomicWriteReplacesAndLeavesNoTemporaryFile) {
  FileURL target = fileAt(tmp.file("A.json"));
  ASSERT_TRUE(files.writeFileAtomically(target, "first").ok());
  ASSERT_TRUE(files.writeFileAtomically(target, "second").ok());
  EXPECT_EQ(tmp.read("A.json"), "second");
  EXPECT_EQ(namesIn(tmp.path()), std::vector<std::string>{"A.json"});
}

// The manifest and the spool's requests are the user's alone, whatever the umask.
TEST_F(PosixFileSystemTest, NewFilesAndFoldersAreTheUsersAlone) {
  mode_t previous = ::umask(022);
  ASSERT_TRUE(files.createDirectory(fileAt(tmp.file("a/b"))).ok());
  ASSERT_TRUE(files.writeFileAtomically(fileAt(tmp.file("a/b/m.json")), "x").ok());
  ::umask(previous);
  for (const auto& [name, mode] : std::vector<std::pair<std::string, mode_t>>{
           {"a", 0700}, {"a/b", 0700}, {"a/b/m.json", 0600}}) {
    struct stat info {};
    ASSERT_EQ(::stat(tmp.file(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, mode) << name;
  }
}

TEST_F(PosixFileSystemTest, FailedAtomicWriteLeavesNothingBehind) {
  // The final name is a directory: the rename fails after the data was written.
  fs::create_directory(tmp.file("taken.json"));
  tmp.write("taken.json/inside", "");
  EXPECT_FALSE(files.writeFileAtomically(fileAt(tmp.file("taken.json")), "x").ok());
  EXPECT_EQ(namesIn(tmp.path()), std::vector<std::string>{"taken.json"});
  // A missing directory.
  EXPECT_FALSE(files.writeFileAtomically(fileAt(tmp.file("none/x.json")), "x").ok());
}

TEST_F(PosixFileSystemTest, AtomicWriteIntoAReadOnlyDirectoryFails) {
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_read |
                                  fs::perms::others_exec | fs::perms::group_read |
                                  fs::perms::group_exec);
  fs::create_directory(tmp.file("ro"));
  fs::permissions(tmp.file("ro"), fs::perms::owner_read | fs::perms::owner_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
  // Root writes through directory permissions, so the attempt runs as nobody.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    Status status = files.writeFileAtomically(fileAt(tmp.file("ro/x.json")), "x");
    ::_exit(status.ok() ? 1 : 0);
  }
  int wstatus = 0;
  ASSERT_EQ(::waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  EXPECT_TRUE(namesIn(tmp.file("ro")).empty());
}

// Once the file is renamed into place the write has happened; a directory that
// cannot then be flushed (here: it cannot be opened for reading) is no failure.
TEST_F(PosixFileSystemTest, AtomicWriteSucceedsWhenOnlyTheDirectoryFlushFails) {
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
  fs::create_directory(tmp.file("wx"));
  fs::permissions(tmp.file("wx"), fs::perms::owner_write | fs::perms::owner_exec |
                                      fs::perms::others_write | fs::perms::others_exec);
  EXPECT_EQ(testing::inChild([&] {
              if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 3;
              return files.writeFileAtomically(fileAt(tmp.file("wx/x.json")), "x").ok() ? 0 : 1;
            }),
            0);
  fs::permissions(tmp.file("wx"), fs::perms::owner_all);
  EXPECT_EQ(namesIn(tmp.file("wx")), std::vector<std::string>{"x.json"});
}

TEST_F(PosixFileSystemTest, ResolvesSymbolicLinksAsFarAsTheyExist) {
  fs::create_directories(tmp.file("real/inner"));
  fs::create_directory_symlink(tmp.file("real"), tmp.file("abs"));
  fs::create_directory_symlink("real/inner", tmp.file("rel"));
  fs::create_directory_symlink("..", tmp.file("real/inner/up"));
  auto resolve = [&](const std::string& p, bool dir = false) {
    return files.resolvingSymlinksInPath(FileURL::fromPath(p, dir)).rawPath();
  };
  // The temporary directory itself may sit behind a link.
  std::string real = fs::canonical(tmp.path()).string();
  EXPECT_EQ(resolve(tmp.file("abs/inner")), real + "/real/inner");
  EXPECT_EQ(resolve(tmp.file("rel"), true), real + "/real/inner/");
  EXPECT_EQ(resolve(tmp.file("rel/up/inner")), real + "/real/inner");
  // Components that do not exist are kept as written.
  EXPECT_EQ(resolve(tmp.file("abs/missing/x")), real + "/real/missing/x");
  EXPECT_EQ(resolve("/"), "/");
}

TEST_F(PosixFileSystemTest, LinkLoopsAndLongPathsTerminate) {
  fs::create_symlink(tmp.file("loop-b"), tmp.file("loop-a"));
  fs::create_symlink(tmp.file("loop-a"), tmp.file("loop-b"));
  FileURL looped = fileAt(tmp.file("loop-a/x"));
  EXPECT_EQ(files.resolvingSymlinksInPath(looped), looped);  // left unresolved

  fs::create_symlink(".", tmp.file("self"));
  std::string deep = tmp.file("self");
  for (int i = 0; i < 100; ++i) deep += "/self";
  FileURL many = fileAt(deep);
  EXPECT_EQ(files.resolvingSymlinksInPath(many), many);  // more links than the kernel allows

  std::string longPath = tmp.path();
  for (int i = 0; i < 2000; ++i) longPath += "/abcdefgh";
  EXPECT_EQ(files.resolvingSymlinksInPath(fileAt(longPath)).rawPath().size(),
            longPath.size() - tmp.path().size() + fs::canonical(tmp.path()).string().size());
}

TEST_F(PosixFileSystemTest, DataHomeFollowsXdgThenHome) {
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  std::string xdg = savedXdg ? savedXdg : "", home = savedHome ? savedHome : "";
  ::setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(PosixFileSystem::dataHomeFromEnvironment(), "/x/data");
  ::setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored
  ::setenv("HOME", "/h/u", 1);
  EXPECT_EQ(PosixFileSystem::dataHomeFromEnvironment(), "/h/u/.local/share");
  ::unsetenv("XDG_DATA_HOME");
  auto dbHome = files.userDatabaseHomeDirectory();
  const std::string fromDatabase =
      (dbHome && !dbHome->empty() && dbHome->back() == '/' ? *dbHome : dbHome.value_or("") + "/") +
      ".local/share";
  // No HOME, an empty one or a relative one: the user database's home, never "/.local/share".
  for (const char* value : {static_cast<const char*>(nullptr), "", "relative/home"}) {
    if (value != nullptr) ::setenv("HOME", value, 1);
    if (value == nullptr) ::unsetenv("HOME");
    EXPECT_EQ(PosixFileSystem::dataHomeFromEnvironment(), fromDatabase)
        << (value ? value : "unset");
  }
  ::unsetenv("HOME");
  if (savedXdg) ::setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  if (savedHome) ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace tarvine
