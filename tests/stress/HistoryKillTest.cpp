// The history engine killed (SIGKILL) at random points of snapshots and
// restores: the repository stays readable, the next snapshot completes, and no
// file of the folder is ever half-written.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "history/History.h"
#include "tests/support/TempDir.h"

namespace tarvine::history {
namespace {

namespace fs = std::filesystem;

std::string content(char version, int file) {
  return std::string(2000 + file * 37, version) + std::to_string(file);
}

TEST(HistoryKillTest, KilledAnywhereTheHistoryStaysReadableAndNoFileIsHalfWritten) {
  testing::TempDir tmp;
  const std::string root = tmp.path() + "/root";
  const std::string repository = tmp.path() + "/root.git";
  constexpr int kFiles = 60;
  for (int i = 0; i < kFiles; ++i) {
    fs::create_directories(root + "/d" + std::to_string(i % 6));
    std::ofstream(root + "/d" + std::to_string(i % 6) + "/f" + std::to_string(i))
        << content('A', i);
  }
  // Files from 3,000 bytes (about half of them) are stored in chunks.
  constexpr std::uint64_t kChunked = 3000;
  const auto open = [&] {
    auto history = History::open(repository, root);
    if (history.ok()) (*history)->setChunkedFileBytes(kChunked);
    return history;
  };
  ASSERT_TRUE((*open())->snapshot(Reason::manual).ok());
  std::mt19937 random(12345);
  for (int round = 0; round < 25; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Back and forth between two states, recording each: every kind of write.
      auto history = open();
      for (int step = 0;; ++step) {
        const char version = step % 2 == 0 ? 'B' : 'A';
        for (int i = step % 3; i < kFiles; i += 3) {
          const std::string path = root + "/d" + std::to_string(i % 6) + "/f" + std::to_string(i);
          std::ofstream(path + ".new") << content(version, i);
          fs::rename(path + ".new", path);
        }
        (void)(*history)->snapshot(Reason::automatic);
        (void)(*history)->restore("d" + std::to_string(step % 6), std::nullopt);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    auto history = open();
    ASSERT_TRUE(history.ok());
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = entry.path().filename().string();
      if (name.rfind(".tarvine-restore-", 0) == 0 || entry.path().extension() == ".new") continue;
      std::stringstream text;
      text << std::ifstream(entry.path()).rdbuf();
      const int file = std::stoi(name.substr(1));
      EXPECT_TRUE(text.str() == content('A', file) || text.str() == content('B', file))
          << entry.path() << " round " << round;
    }
    // The next snapshot completes, leaving out what a killed restore left.
    auto next = (*history)->snapshot(Reason::manual);
    ASSERT_TRUE(next.ok()) << next.status().message() << " round " << round;
    ASSERT_TRUE((*history)->versions("").ok());
  }
  const std::string fsck = "git --git-dir=" + repository + " fsck --strict --no-dangling 2>&1";
  EXPECT_EQ(std::system(fsck.c_str()), 0);
  const std::string listed =
      "git --git-dir=" + repository + " ls-tree -r HEAD | grep -c tarvine-restore";
  EXPECT_NE(std::system(listed.c_str()), 0);  // grep found nothing
}

// A disk that fills up during a snapshot (a file size limit, for the child
// that takes it): a clear failure, no partial snapshot, the folder untouched.
TEST(HistoryKillTest, AFullDiskFailsTheSnapshotClearlyAndRecordsNothing) {
  testing::TempDir tmp;
  const std::string root = tmp.path() + "/root";
  const std::string repository = tmp.path() + "/root.git";
  fs::create_directories(root);
  std::ofstream(root + "/small") << "small";
  ASSERT_TRUE((*History::open(repository, root))->snapshot(Reason::manual).ok());
  std::mt19937 random(7);
  std::string big(4 << 20, '\0');
  for (char& c : big) c = static_cast<char>(random());  // incompressible
  std::ofstream(root + "/big", std::ios::binary) << big;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{1 << 20, 1 << 20};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto taken = (*History::open(repository, root))->snapshot(Reason::manual);
    ::_exit(!taken.ok() && taken.status().message().find("big") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failure named the file";
  auto history = History::open(repository, root);
  EXPECT_EQ((*history)->versions("")->size(), 1u);  // nothing recorded
  EXPECT_EQ(fs::file_size(root + "/big"), big.size());
  EXPECT_TRUE((*history)->snapshot(Reason::manual).ok());  // with room again, it completes
}

}  // namespace
}  // namespace tarvine::history
