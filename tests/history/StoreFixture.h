#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "history/History.h"
#include "history/StatCache.h"
#include "tests/support/TempDir.h"

namespace tarvine::history::testing {

// Waits until every file below `root` is older than the clock that stamps
// files: a snapshot trusts its cache only for files older than its own
// start, and reads the others again. False when the clock never got past
// them.
inline bool settleBelow(const std::string& root) {
  for (int tries = 0; tries < 3000; ++tries) {
    const std::int64_t now = fileClockNow();
    bool older = true;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      struct stat info {};
      if (::lstat(entry.path().c_str(), &info) == 0) {
        older = older && olderThan(info.st_mtim, now) && olderThan(info.st_ctim, now);
      }
    }
    if (older) return true;
    ::usleep(1000);
  }
  return false;
}

// A watched folder and its history in a temporary folder, with stock git to
// read the store as anyone else would.
class StoreTest : public ::testing::Test {
 protected:
  StoreTest() : root(tmp.path() + "/root"), repository(tmp.path() + "/history/root.git") {}
  void SetUp() override {
    std::filesystem::create_directories(root);
    ASSERT_NO_FATAL_FAILURE(reopen());
  }
  void reopen(FolderAccess& access = PosixFolderAccess::shared()) {
    history.reset();
    auto opened = History::open(repository, root, access);
    ASSERT_TRUE(opened.ok()) << opened.status().message();
    history = std::move(*opened);
  }

  // An empty folder and no history yet, for the next case of a table.
  void startAfresh() {
    history.reset();
    std::filesystem::remove_all(repository);
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    reopen();
  }

  void write(const std::string& relative, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + relative).parent_path());
    std::ofstream(root + "/" + relative, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  Snapshot snap() {
    auto taken = history->snapshot(Reason::manual);
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

  struct Run {
    int status = -1;
    std::string output;  // standard output and error
  };
  static Run shell(const std::string& command) {
    Run run;
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    for (int c; (c = std::fgetc(pipe)) != EOF;) run.output += static_cast<char>(c);
    run.status = ::pclose(pipe);
    return run;
  }
  // Stock git on the store; a failure fails the test.
  std::string git(const std::string& arguments) {
    const Run run = shell("git --git-dir=" + repository + " " + arguments);
    EXPECT_EQ(run.status, 0) << "git " << arguments << "\n" << run.output;
    return run.output;
  }

  tarvine::testing::TempDir tmp;
  std::string root, repository;
  std::unique_ptr<History> history;
};

}  // namespace tarvine::history::testing
