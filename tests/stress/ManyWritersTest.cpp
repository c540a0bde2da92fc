// Many processes submit requests into one spool while a reader watches it.

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <set>

#include "extension/FinderSync.h"
#include "platform/linux/LibuuidGenerator.h"
#include "platform/linux/SystemClock.h"
#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

constexpr int kWriters = 8;
constexpr int kRequestsEach = 500;

// One writer process: its own extension object on the real file system.
[[noreturn]] void writeRequests(const std::string& dataHome, int writer) {
  testing::FakeServices env(dataHome);
  LibuuidGenerator uuids;
  SystemClock clock;
  Services services = env.services();
  Services real{services.host,      services.mainBundle, env.posix, services.workspace,
                services.bookmarks, services.log,        clock,     uuids};
  Identifiers ids(env.bundle, env.posix);
  FinderSync extension(real, ids);
  env.host.selection =
      std::vector<FileURL>{FileURL::fromPath("/writer/" + std::to_string(writer), true)};
  for (int i = 0; i < kRequestsEach; ++i) {
    if (i % 2 == 0) {
      extension.snapshotNow();
    } else {
      extension.enableHistory();  // with a bookmark, so files differ in size
    }
  }
  ::_exit(0);
}

TEST(ManyWritersTest, EveryRequestIsCompleteWheneverItIsSeen) {
  testing::TempDir tmp;
  const std::string container = tmp.file("QF7T2K9M4R.com.quillfen.tarvine");
  const std::string spool = container + "/requests";
  std::filesystem::create_directory(container);

  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) writeRequests(tmp.path(), w);
    writers.push_back(pid);
  }

  PosixFileSystem files(tmp.path());
  std::set<std::string> seen;
  int strays = 0;
  int invalid = 0;
  int passes = 0;
  auto readSpool = [&] {
    ++passes;
    DIR* dir = ::opendir(spool.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      // Hidden names are unfinished writes, and a reader must skip them.
      if (name.empty() || name[0] == '.') continue;
      if (name.size() != 41 || name.substr(36) != ".json") {
        ++strays;
        continue;
      }
      if (seen.count(name) != 0) continue;
      auto content = files.readFile(FileURL::fromPath(spool + "/" + name, false));
      auto request = content.ok() ? HistoryRequest::decode(*content)
                                  : Result<HistoryRequest>(content.status());
      if (!request.ok() || request->id + ".json" != name) {
        ++invalid;
        continue;
      }
      seen.insert(name);
    }
    ::closedir(dir);
  };

  int running = kWriters;
  while (running > 0) {
    readSpool();
    for (pid_t& pid : writers) {
      int status = 0;
      if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid = 0;
        --running;
      }
    }
  }
  readSpool();

  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kWriters * kRequestsEach));
  EXPECT_EQ(invalid, 0);
  EXPECT_EQ(strays, 0);
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(spool)) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << "a temporary file was left";
    ++entries;
  }
  EXPECT_EQ(entries, seen.size());
  RecordProperty("reader passes", passes);
}

}  // namespace
}  // namespace tarvine
