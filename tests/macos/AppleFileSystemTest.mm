// The Apple file system where GNUstep implements it faithfully (directory
// creation, atomic writes, whole-file reads, dates, link resolution), held to
// what the POSIX implementation is held to. The group container, the home
// directory API and bookmarks are Apple's alone: only a Mac runs those, as it
// does NSUUID's version-4 ids (GNUstep's NSUUID does not set those bits) and
// a macOS bundle layout (GNUstep's NSBundle does not read Contents/).

#import <Foundation/Foundation.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "macos/AppleFileSystem.h"

namespace tarvine::apple {
namespace {

namespace fs = std::filesystem;

class AppleFileSystemTest : public ::testing::Test {
 protected:
  AppleFileSystemTest() {
    char pattern[] = "/tmp/tarvine-apple-XXXXXX";
    dir = ::mkdtemp(pattern);
  }
  ~AppleFileSystemTest() override { fs::remove_all(dir); }

  FileURL at(const std::string& relative, bool directory = false) {
    return FileURL::fromPath(dir + "/" + relative, directory);
  }

  std::string dir;
  AppleFileSystem files;
};

TEST_F(AppleFileSystemTest, DirectoriesAreMadeWithTheirParentsOrFoundInTheWay) {
  EXPECT_TRUE(files.createDirectory(at("a/b/c", true)).ok());
  EXPECT_TRUE(fs::is_directory(dir + "/a/b/c"));
  EXPECT_TRUE(files.createDirectory(at("a/b", true)).ok());  // already there
  std::ofstream(dir + "/plain") << "x";
  EXPECT_FALSE(files.createDirectory(at("plain", true)).ok());
  EXPECT_FALSE(files.createDirectory(at("plain/below", true)).ok());
}

TEST_F(AppleFileSystemTest, AtomicWritesReplaceWholeAndReadsReturnEveryByte) {
  const std::string content("{\"a\":1}\0\xff", 9);
  ASSERT_TRUE(files.writeFileAtomically(at("r.json"), content).ok());
  ASSERT_TRUE(files.writeFileAtomically(at("r.json"), content + content).ok());
  auto read = files.readFile(at("r.json"));
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(*read, content + content);
  // Nothing but the file is left in the directory.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_FALSE(files.writeFileAtomically(at("missing/r.json"), content).ok());
}

TEST_F(AppleFileSystemTest, OnlyRegularFilesAreRead) {
  EXPECT_FALSE(files.readFile(at("none")).ok());
  fs::create_directory(dir + "/folder");
  EXPECT_FALSE(files.readFile(at("folder")).ok());
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  EXPECT_FALSE(files.readFile(at("fifo")).ok());  // refused, not waited on
}

TEST_F(AppleFileSystemTest, ModificationDatesKeepFractionsOfASecond) {
  std::ofstream(dir + "/f") << "x";
  struct timespec times[2] = {{1'700'000'000, 250'000'000}, {1'700'000'000, 250'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/f").c_str(), times, 0), 0);
  auto date = files.contentModificationDate(at("f"));
  ASSERT_TRUE(date);
  EXPECT_EQ(date->seconds(), 1'700'000'000);
  EXPECT_NEAR(date->nanoseconds(), 250'000'000, 1'000);  // NSDate is a double
  EXPECT_FALSE(files.contentModificationDate(at("none")));
}

TEST_F(AppleFileSystemTest, LinksInThePathAreResolvedAsFarAsTheyExist) {
  fs::create_directories(dir + "/real/inner");
  fs::create_directory_symlink(dir + "/real", dir + "/link");
  const std::string real = fs::canonical(dir).string();
  EXPECT_EQ(files.resolvingSymlinksInPath(at("link/inner", true)).rawPath(), real + "/real/inner/");
  // Links before a missing component: GNUstep leaves such a path as it is,
  // where Apple's Foundation resolves what exists; only a Mac shows that.
}

}  // namespace
}  // namespace tarvine::apple
