#pragma once

// A watched folder and its history in a temporary directory, with what the
// tests of the store's durability share: writing files, snapshots, asking
// stock git, and damaging objects as a power cut does.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "history/History.h"
#include "tests/support/TempDir.h"

namespace tarvine::history {

class Store {
 public:
  Store() : root(tmp.path() + "/root"), repository(tmp.path() + "/root.git") {
    std::filesystem::create_directories(root);
  }

  Result<std::unique_ptr<History>> open(History::Opening opening = History::Opening::writing) {
    return History::open(repository, root, PosixFolderAccess::shared(), opening);
  }

  void write(const std::string& relative, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(root + "/" + relative).parent_path());
    std::ofstream(root + "/" + relative, std::ios::binary | std::ios::trunc) << content;
  }

  // A snapshot through a history opened for it, as the Keeper takes one.
  std::string snap() {
    auto history = open();
    if (!history.ok()) {
      ADD_FAILURE() << history.status().message();
      return "";
    }
    auto taken = (*history)->snapshot(Reason::manual);
    EXPECT_TRUE(taken.ok()) << taken.status().message();
    return taken.ok() ? taken->id : "";
  }

  // What stock git prints, and whether it succeeded.
  std::string git(const std::string& arguments, bool* succeeded = nullptr) const {
    const std::string command = "git --git-dir=" + repository + " " + arguments + " 2>&1";
    std::string out;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return "cannot run git";
    for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    const int status = ::pclose(pipe);
    if (succeeded != nullptr) *succeeded = status == 0;
    return out;
  }
  std::string id(const std::string& revision) const {
    std::string out = git("rev-parse " + revision);
    return out.substr(0, out.find('\n'));
  }
  // The branch HEAD names, whatever git's default made it.
  std::string branch() const {
    std::string head = git("symbolic-ref HEAD");
    return head.substr(0, head.find('\n'));
  }

  // The snapshot a damaged one set aside is kept as: the file `name` in the
  // history names it.
  std::string keptAside(const std::string& name) const {
    std::ifstream in(repository + "/" + name);
    std::string id;
    std::getline(in, id);
    return id;
  }
  std::string objectFile(const std::string& revision) const {
    const std::string hex = id(revision);
    return repository + "/objects/" + hex.substr(0, 2) + "/" + hex.substr(2);
  }
  // The loose file of the object `revision` names left empty, as a power cut
  // leaves a file whose data was never synced.
  void empty(const std::string& path) const {
    std::filesystem::permissions(path, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    ASSERT_EQ(::truncate(path.c_str(), 0), 0) << path;
  }
  // As a power cut does, which ends the machine's boot: the newest snapshot
  // is read whole again at the next open.
  void reboot() const {
    std::filesystem::remove(repository + "/" + std::string(History::intactTipName));
  }

  tarvine::testing::TempDir tmp;
  std::string root, repository;
};

}  // namespace tarvine::history
