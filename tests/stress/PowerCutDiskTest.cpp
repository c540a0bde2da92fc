// The power-cut disk itself, before the campaign trusts it: the file
// system's flushes reach it, a cut loses exactly what was not flushed, the
// writer is killed at the cut, and what a crashed run left is cleaned up.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/support/PowerCut.h"

namespace tarvine::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDiskBytes = 64ull << 20;

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes a file, and with `synced` makes it durable as careful programs do.
void write(const std::string& path, const std::string& text, bool synced) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  if (synced) {
    ASSERT_EQ(::fsync(fd), 0);
  }
  ::close(fd);
  if (synced) {
    const int folder = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::fsync(folder), 0);
    ::close(folder);
  }
}

std::string text(const std::string& name) {
  std::string body = name + "\n";
  while (body.size() < 20'000) body += name;  // several blocks
  return body;
}

class PowerCutDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TARVINE_REQUIRE_POWER_CUT_DISK();
    removePowerCutLeftovers();
    disk.emplace(powerCutDaemon(), kDiskBytes);
    disk->mount();
  }

  std::string at(const std::string& name) const { return disk->mountPoint() + "/" + name; }

  std::optional<PowerCutDisk> disk;
};

TEST_F(PowerCutDiskTest, TheFileSystemsFlushesReachTheDiskAndNothingElseFlushesIt) {
  disk->arm(0, 0, 0, 0);
  write(at("unsynced"), text("unsynced"), false);
  EXPECT_EQ(disk->counts().flushes, 0u) << "an unsynced write stays in the page cache";
  write(at("synced"), text("synced"), true);
  const DiskCounts counts = disk->counts();
  EXPECT_GE(counts.flushes, 1u) << "fsync flushes the disk's cache";
  EXPECT_GE(counts.writes, 1u);
  EXPECT_FALSE(counts.frozen);
}

TEST_F(PowerCutDiskTest, ACutLosesWhatWasNotFlushedAndKeepsWhatWas) {
  const struct {
    const char* name;
    bool synced;
    std::uint32_t seed;  // 0: the whole cache is lost; else a random half reaches the disk
  } cases[] = {
      {"synced", true, 0},
      {"unsynced", false, 0},
      {"synced-half-cache", true, 9001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    disk->arm(0, 0, 0, c.seed);
    write(at(c.name), text(c.name), c.synced);
    disk->cut();
    write(at(std::string(c.name) + "-after"), text("after"), true);  // the power is off
    EXPECT_TRUE(disk->counts().frozen);
    disk->powerOn();
    disk->mount();
    if (c.synced) {
      EXPECT_EQ(read(at(c.name)), text(c.name));
    } else {
      EXPECT_NE(read(at(c.name)), text(c.name)) << "an unsynced file outlived the cut";
    }
    EXPECT_FALSE(fs::exists(at(std::string(c.name) + "-after")));
  }
  EXPECT_TRUE(disk->fileSystemConsistent()) << disk->log();
}

// A writer that syncs one file after another and reports each: the cut at a
// flush kills it there, and each file it reported is intact afterwards.
TEST_F(PowerCutDiskTest, ACutAtAFlushKillsTheWriterAndWhatItReportedIsKept) {
  for (const std::uint32_t seed : {0u, 4242u}) {
    SCOPED_TRACE(seed);
    const std::string folder = at("writer-" + std::to_string(seed));
    fs::create_directory(folder);
    int reports[2];
    ASSERT_EQ(::pipe2(reports, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setpgid(0, 0);
      ::close(reports[0]);
      for (int i = 0; i < 1000; ++i) {
        write(folder + "/" + std::to_string(i), text(std::to_string(i)), true);
        const std::string line = std::to_string(i) + "\n";
        (void)!::write(reports[1], line.data(), line.size());
      }
      ::_exit(0);
    }
    ::setpgid(child, child);
    ::close(reports[1]);
    disk->arm(7, 0, -child, seed);
    int status = 0;
    // Bounded: it is killed within a few flushes.
    for (int waited = 0; ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
      if (waited == 3000) ::kill(-child, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    std::string reported;
    char buffer[256];
    for (ssize_t got; (got = ::read(reports[0], buffer, sizeof buffer)) > 0;) {
      reported.append(buffer, got);
    }
    ::close(reports[0]);
    EXPECT_TRUE(disk->counts().frozen);
    disk->powerOn();
    disk->mount();
    std::istringstream lines(reported);
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      EXPECT_EQ(read(folder + "/" + line), text(line)) << "reported, then lost";
    }
    EXPECT_LT(count, 7) << "the writer went on after the cut";
  }
}

TEST(PowerCutLeftoversTest, ARunKilledBeforeCleaningUpIsRemovedByTheNext) {
  TARVINE_REQUIRE_POWER_CUT_DISK();
  int folder[2];
  ASSERT_EQ(::pipe2(folder, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Mounted, then gone without its destructor, as a crashed test is.
    auto* disk = new PowerCutDisk(powerCutDaemon(), kDiskBytes);
    disk->mount();
    (void)!::write(folder[1], disk->runFolder().data(), disk->runFolder().size());
    ::_exit(0);
  }
  ::close(folder[1]);
  char buffer[512];
  const ssize_t got = ::read(folder[0], buffer, sizeof buffer);
  ::close(folder[0]);
  ::waitpid(child, nullptr, 0);
  ASSERT_GT(got, 0);
  const std::string run(buffer, static_cast<std::size_t>(got));
  ASSERT_TRUE(fs::exists(run + "/owner")) << "the crashed run left its folder";
  removePowerCutLeftovers();
  EXPECT_FALSE(fs::exists(run));
  EXPECT_EQ(read("/proc/self/mountinfo").find(run), std::string::npos);
  // The loop device goes once its file system has gone, soon after.
  bool attached = true;
  for (int waited = 0; attached && waited < 1000; ++waited) {
    attached = false;
    for (const auto& entry : fs::directory_iterator("/sys/block")) {
      attached = attached || read(entry.path().string() + "/loop/backing_file").rfind(run, 0) == 0;
    }
    if (attached) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(attached) << "a loop device still holds the crashed run's disk";
}

}  // namespace
}  // namespace tarvine::testing
