#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/posix/PosixFileSystem.h"
#include "requests/RequestSubmitter.h"
#include "roots/Keeper.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarvine::roots {
namespace {

namespace fs = std::filesystem;

class PrivacyTest : public ::testing::Test {
 protected:
  PrivacyTest() : container(tmp.file("container")), root(tmp.file("root")) {
    fs::create_directories(root);
  }

  // Runs `body` with the usual umask 022, in a child so that the umask stays there.
  static void withUsualUmask(const std::function<bool()>& body) {
    EXPECT_EQ(testing::inChild([&] {
                ::umask(022);
                return body() ? 0 : 1;
              }),
              0);
  }
  // Every path under the container that someone else could read, enter or write.
  std::vector<std::string> notPrivate() {
    std::vector<std::string> found;
    const auto check = [&](const fs::path& path) {
      struct stat info {};
      if (::lstat(path.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return;
      const mode_t mode = info.st_mode & 07777;
      if (S_ISDIR(info.st_mode) ? mode != 0700 : (mode & 077) != 0) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode);
        found.push_back(path.string() + " " + octal);
      }
    };
    check(container);
    for (const auto& entry : fs::recursive_directory_iterator(container)) check(entry.path());
    return found;
  }
  // A request as the extension writes it into the spool, in the file manager's process.
  bool request(const std::string& name) {
    PosixFileSystem files(tmp.path());
    const FileURL spool =
        FileURL::fromPath(container, true)
            .appendingPathComponent(std::string(RequestSubmitter::spoolDirectoryName), true);
    return files.createDirectory(spool).ok() &&
           files.writeFileAtomically(spool.appendingPathComponent(name, false), "{}").ok();
  }
  static bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

  testing::TempDir tmp;
  std::string container, root;
};

// Everything in the container is the user's alone with the usual umask: the
// manifest, the lock, the spool and its requests, and every file of every
// history (objects, packs, references, the stat cache), through every use,
// and when stock git writes in a store.
TEST_F(PrivacyTest, TheContainerIsTheUsersAloneWhateverTheUmask) {
  withUsualUmask([&] {
    Keeper keeper{Container(container)};
    std::ofstream(root + "/key") << "private";
    fs::permissions(root + "/key", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(root + "/letter.txt") << "first";
    if (!keeper.watch(root, RootMode::automatic).ok()) return false;
    std::ofstream(root + "/letter.txt") << "second";
    if (!keeper.snapshot(root, history::Reason::manual, /*tidy=*/true).ok()) return false;
    if (!keeper.restore(root + "/letter.txt", std::nullopt).ok()) return false;
    if (!keeper.pack(root).ok() || !request("one.json")) return false;
    auto listing = keeper.versions(root);
    return listing.ok() && shell("git --git-dir=" + listing->repository + " gc -q --prune=now");
  });
  EXPECT_EQ(notPrivate(), std::vector<std::string>{});
}

// A container and stores made by an earlier version, readable by everyone,
// are tightened when they are next used.
TEST_F(PrivacyTest, AnEarlierVersionsContainerIsTightenedWhenUsed) {
  std::string repository;
  withUsualUmask([&] {
    Keeper keeper{Container(container)};
    std::ofstream(root + "/a.txt") << "a";
    return keeper.watch(root, RootMode::automatic).ok() && request("old.json");
  });
  {
    auto listing = Keeper{Container(container)}.versions(root);
    ASSERT_TRUE(listing.ok());
    repository = listing->repository;
  }
  // As an earlier version left them: folders 0755, files readable by all,
  // and no mark of a store tightened.
  ASSERT_TRUE(shell("git --git-dir=" + repository + " config --unset tarvine.private"));
  fs::permissions(container,
                  fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                      fs::perms::others_exec,
                  fs::perm_options::add);
  for (const auto& entry : fs::recursive_directory_iterator(container)) {
    if (entry.is_symlink()) continue;
    fs::permissions(entry.path(),
                    fs::perms::group_read | fs::perms::others_read |
                        (entry.is_directory() ? fs::perms::group_exec | fs::perms::others_exec
                                              : fs::perms::none),
                    fs::perm_options::add);
  }
  ASSERT_NE(notPrivate().size(), 0u);
  withUsualUmask([&] {
    std::ofstream(root + "/a.txt") << "b";
    return Keeper{Container(container)}.snapshot(root, history::Reason::manual).ok();
  });
  EXPECT_EQ(notPrivate(), std::vector<std::string>{});
}

// Tightening never follows a link out of the container: what a link in the
// spool's place leads to keeps its modes.
TEST_F(PrivacyTest, TighteningFollowsNoLink) {
  const std::string outside = tmp.file("outside");
  fs::create_directories(outside + "/inner");
  std::ofstream(outside + "/shared.txt") << "for everyone";
  fs::permissions(outside, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(outside + "/shared.txt", fs::perms::owner_read | fs::perms::owner_write |
                                               fs::perms::group_read | fs::perms::others_read);
  fs::create_directories(container);
  fs::create_directory_symlink(outside,
                               container + "/" + std::string(RequestSubmitter::spoolDirectoryName));
  fs::create_directory_symlink(outside, root + "/link");
  Keeper keeper{Container(container)};
  ASSERT_TRUE(keeper.watch(root, RootMode::automatic).ok());
  EXPECT_EQ(fs::status(outside).permissions() & fs::perms::all, fs::perms(0755));
  EXPECT_EQ(fs::status(outside + "/shared.txt").permissions() & fs::perms::all, fs::perms(0644));
  EXPECT_EQ(fs::status(outside + "/inner").permissions() & fs::perms::others_exec,
            fs::perms::others_exec);
}

}  // namespace
}  // namespace tarvine::roots
