// A folder brought back from a mirror with `adopt`, killed at any moment: the
// next try (or, once the files are in place, a watch) brings it back whole,
// and stock git finds the history whole.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "roots/Keeper.h"
#include "roots/Mirrors.h"
#include "tests/support/TempDir.h"

namespace tarvine::roots {
namespace {

namespace fs = std::filesystem;

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str());
}

TEST(AdoptKilledTest, AnAdoptKilledAnywhereIsTakenUpAgainAndEndsWhole) {
  testing::TempDir tmp;
  Keeper keeper(Container(tmp.file("container")));
  const std::string root = tmp.file("root"), mirror = tmp.file("disk/root.git");
  std::mt19937 random(11);
  for (int i = 0; i < 300; ++i) {
    std::string content(8 * 1024, '\0');
    for (char& c : content) c = static_cast<char>(random());
    const std::string path = root + "/d" + std::to_string(i % 10) + "/f" + std::to_string(i);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  ASSERT_TRUE(keeper.watch(root, RootMode::manual).ok());
  fs::create_directories(tmp.file("disk"));
  ASSERT_TRUE(mirrors::add(keeper.container(), root, mirror).ok());
  ASSERT_TRUE(mirrors::pushOne(keeper.container(), root, mirror).ok());

  int cutShort = 0;  // kills that left part of the adopt done
  for (const int microseconds : {0, 1000, 5000, 20000, 60000, 150000}) {
    SCOPED_TRACE(microseconds);
    const std::string data = tmp.file("data" + std::to_string(microseconds));
    const std::string again = tmp.file("again" + std::to_string(microseconds));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Keeper adopting{Container(data)};
      (void)mirrors::adopt(adopting, mirror, again, std::nullopt);
      ::_exit(0);
    }
    ::usleep(static_cast<useconds_t>(microseconds));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    Keeper adopting{Container(data)};
    const bool inPlace = fs::exists(again) && !fs::is_empty(again);
    const bool watched =
        adopting.container().roots().ok() && !adopting.container().roots()->empty();
    if (fs::exists(data) && !watched) ++cutShort;
    auto taken = mirrors::adopt(adopting, mirror, again, std::nullopt);
    if (!taken.ok() && inPlace) {
      // The files were in place, not yet watched: watching goes on with the
      // history adopted.
      ASSERT_TRUE(adopting.watch(again, RootMode::manual).ok()) << taken.status().message();
    } else if (!taken.ok()) {
      ASSERT_EQ(taken.status().kind(), Status::Kind::refused) << taken.status().message();
      ASSERT_TRUE(watched) << taken.status().message();
    }
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_regular_file()) continue;
      const std::string relative = fs::relative(entry.path(), root).string();
      ASSERT_EQ(contentOf(again + "/" + relative), contentOf(entry.path().string())) << relative;
    }
    const std::string store = adopting.container().store(again);
    EXPECT_EQ(shell("git --git-dir=" + store + " fsck --strict --no-dangling"), 0) << store;
    auto listed = mirrors::list(adopting.container(), again);
    ASSERT_TRUE(listed.ok());
    ASSERT_EQ(listed->front().mirrors.size(), 1u) << "the mirror kept";
    EXPECT_EQ(listed->front().mirrors[0].unpushed, 0u);
  }
  EXPECT_GT(cutShort, 0) << "no kill came while the adopt was under way";
}

}  // namespace
}  // namespace tarvine::roots
