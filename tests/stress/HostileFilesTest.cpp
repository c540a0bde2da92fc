// Things that should not be where the manifest is, or as a target, or as the spool.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <functional>

#include "extension/FinderSync.h"
#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;

constexpr const char* kGroup = "QF7T2K9M4R.com.quillfen.tarvine";

// Runs `body` in a child process with a time limit; the child's exit status is
// the result, so a hang or a crash fails the test instead of the whole run.
int inChild(const std::function<int()>& body, unsigned seconds = 60) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(seconds);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

long peakResidentKilobytes() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class HostileFilesTest : public ::testing::Test {
 protected:
  HostileFilesTest() { fs::create_directory(container()); }
  std::string container() const { return tmp.file(kGroup); }
  std::string manifest() const { return container() + "/roots.json"; }

  // 0 when loading gives no manifest; 1 when it gives one; else what went wrong.
  int load() {
    return inChild([&] {
      Identifiers ids(env.bundle, env.fileSystem);
      FinderSync extension(env.services(), ids);
      return extension.loadManifest() == nullptr ? 0 : 1;
    });
  }

  testing::TempDir tmp;
  testing::FakeServices env{tmp.path()};
};

TEST_F(HostileFilesTest, NothingButARegularFileIsRead) {
  fs::create_directory(manifest());
  EXPECT_EQ(load(), 0) << "directory";
  fs::remove(manifest());
  ASSERT_EQ(::mkfifo(manifest().c_str(), 0600), 0);
  EXPECT_EQ(load(), 0) << "FIFO";
  fs::remove(manifest());
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = manifest();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(load(), 0) << "socket";
  ::close(sock);
  fs::remove(manifest());
  fs::create_symlink("/dev/zero", manifest());
  EXPECT_EQ(load(), 0) << "link to /dev/zero";
  fs::remove(manifest());
  fs::create_symlink(container() + "/other", manifest());
  fs::create_symlink(manifest(), container() + "/other");
  EXPECT_EQ(load(), 0) << "link loop";
}

TEST_F(HostileFilesTest, MalformedContentIsAnAbsentManifest) {
  auto write = [&](const std::string& text) {
    std::ofstream(manifest(), std::ios::binary) << text;
  };
  const std::string head = R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":)";
  write(head + R"([{"path":"/a\xff","isPaused":false}]})");
  EXPECT_EQ(load(), 0) << "invalid UTF-8";
  write(head + std::string("[]}\0", 4) + "junk");
  EXPECT_EQ(load(), 0) << "NUL byte";
  std::string deep(2'000'000, '[');
  write(head + deep + std::string(2'000'000, ']') + "}");
  EXPECT_EQ(load(), 0) << "deep nesting as the roots";
  write(head + "[],\"x\":" + deep + std::string(2'000'000, ']') + "}");
  EXPECT_EQ(load(), 1) << "deep nesting in an unknown key is skipped";
  write(head + deep);
  EXPECT_EQ(load(), 0) << "unterminated nesting";
}

TEST_F(HostileFilesTest, AHundredMegabyteManifestLoadsInBoundedMemory) {
  {
    std::ofstream out(manifest(), std::ios::binary);
    out << R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[)";
    const std::size_t target = 100u << 20;
    std::size_t written = 0;
    for (int i = 0; written < target; ++i) {
      std::string root = std::string(i ? "," : "") + R"({"path":"/home/user/watched/folder-)" +
                         std::to_string(i) + R"(","isPaused":false,"mode":"automatic"})";
      out << root;
      written += root.size();
    }
    out << "]}";
  }
  const auto size = static_cast<long>(fs::file_size(manifest()));
  int result = inChild([&] {
    long before = peakResidentKilobytes();
    Identifiers ids(env.bundle, env.fileSystem);
    FinderSync extension(env.services(), ids);
    auto manifest = extension.loadManifest();
    if (manifest == nullptr || manifest->roots.empty()) return 2;
    long grown = (peakResidentKilobytes() - before) * 1024;
    // The text and the records, each at most a few times the file's size.
    return grown < 5 * size ? 0 : 3;
  });
  EXPECT_EQ(result, 0);
}

TEST_F(HostileFilesTest, LinkLoopsAndLongPathsAsTargetsGiveAMenu) {
  std::ofstream(manifest()) << R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[)"
                            << R"({"path":")" << tmp.path() << R"(","isPaused":false}]})";
  fs::create_symlink(tmp.file("b"), tmp.file("a"));
  fs::create_symlink(tmp.file("a"), tmp.file("b"));
  std::string longPath = tmp.path();
  for (int i = 0; i < 20'000; ++i) longPath += "/segment";
  int result = inChild(
      [&] {
        Identifiers ids(env.bundle, env.fileSystem);
        FinderSync extension(env.services(), ids);
        for (const std::string& target : {tmp.file("a/x/"), longPath + "/", tmp.file("a")}) {
          env.host.selection =
              std::vector<FileURL>{FileURL::fromPath(target, target.back() == '/')};
          if (extension.menuForMenuKind(0).items.size() != 1) return 2;
        }
        return 0;
      },
      30);
  EXPECT_EQ(result, 0);
}

TEST_F(HostileFilesTest, AReadOnlySpoolWritesNothingAndStillWakes) {
  // Traversable by anyone, writable by nobody but root.
  fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  fs::create_directory(container() + "/requests");
  fs::permissions(container(),
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(container() + "/requests",
                  fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  int result = inChild([&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 9;
    Identifiers ids(env.bundle, env.fileSystem);
    FinderSync extension(env.services(), ids);
    env.host.selection = std::vector<FileURL>{FileURL::fromPath("/Users/a/Docs", true)};
    extension.showHistory();
    extension.snapshotNow();
    extension.enableHistory();
    return static_cast<int>(env.workspace.opened.size());
  });
  EXPECT_EQ(result, 2);  // show and enable woke the application; snapshot did not
  EXPECT_TRUE(fs::is_empty(container() + "/requests"));
}

TEST_F(HostileFilesTest, ReadOnlyContainerAndFullDiskThroughTheFileSystem) {
  for (int error : {EROFS, ENOSPC}) {
    env.fileSystem.faults.createDirectoryError = error == EROFS ? EROFS : 0;
    env.fileSystem.faults.writeError = error;
    Identifiers ids(env.bundle, env.fileSystem);
    FinderSync extension(env.services(), ids);
    env.host.selection = std::vector<FileURL>{FileURL::fromPath("/Users/a/Docs", true)};
    env.workspace.opened.clear();
    extension.restorePrevious();
    extension.disableHistory();
    EXPECT_EQ(env.workspace.opened.size(), 1u);
    EXPECT_FALSE(fs::exists(container() + "/requests") && !fs::is_empty(container() + "/requests"));
  }
}

}  // namespace
}  // namespace tarvine
