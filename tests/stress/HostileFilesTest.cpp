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
#include "platform/linux/PlistBundle.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;

constexpr const char* kInfoPlist =
    R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
    "<key>CFBundleIdentifier</key><string>a.b.FinderSync</string></dict></plist>";

constexpr const char* kGroup = "QF7T2K9M4R.com.quillfen.tarvine";

using testing::inChild;

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

// The decoder's memory follows what it decodes, whatever the file holds: the
// peak during a load stays within three times the file's size, plus a little.
// Two kinds of content need more, neither of them waste: the smallest possible
// roots (27 bytes of text for an 80-byte record), and a long run of brackets.
TEST_F(HostileFilesTest, ManifestLoadsInMemoryBoundedByTheFilesSize) {
  const std::string head = R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z",)";
  struct Case {
    const char* name;
    std::function<std::string(int)> element;  // the i-th element of `array`
    const char* array;
    double factor;
  };
  const Case cases[] = {
      {"realistic roots",
       [](int i) {
         return R"({"path":"/home/user/watched/folder-)" + std::to_string(i) +
                R"(","isPaused":false,"mode":"automatic"})";
       },
       "roots", 3},
      {"the key's name everywhere in an ignored value",
       [](int) { return std::string(R"("isPaused")"); }, "ignored", 3},
      // The JSON library keeps the characters of a run of brackets and commas
      // until the next text or number, in a buffer that grows by doubling.
      {"an ignored value full of objects", [](int) { return std::string("{}"); }, "ignored", 3.7},
      // Reserved for the smallest possible roots, then refused.
      {"roots that are empty objects", [](int) { return std::string("{}"); }, "roots", 4.2},
      {"the smallest roots there are",
       [](int) { return std::string(R"({"path":"","isPaused":true})"); }, "roots", 4.5},
  };
  for (const Case& c : cases) {
    {
      std::ofstream out(manifest(), std::ios::binary);
      out << head << '"' << c.array << R"(":[)";
      std::size_t written = 0;
      for (int i = 0; written < (12u << 20); ++i) {
        std::string element = (i ? "," : "") + c.element(i);
        out << element;
        written += element.size();
      }
      out << "]"
          << (c.array == std::string("roots") ? "" : R"(,"roots":[{"path":"/a","isPaused":false}])")
          << "}";
    }
    const auto size = static_cast<long>(fs::file_size(manifest()));
    int result = inChild([&] {
      long before = testing::peakResidentBytes();
      Identifiers ids(env.bundle, env.fileSystem);
      FinderSync extension(env.services(), ids);
      auto manifest = extension.loadManifest();
      const bool valid = c.array != std::string("roots") || c.element(0) != "{}";
      if ((manifest == nullptr || manifest->roots.empty()) == valid) return 2;
      long grown = testing::peakResidentBytes() - before;
      if (testing::kAddressSanitized) return 0;  // its allocator's figures say nothing here
      return grown < c.factor * size + (4 << 20) ? 0 : 3;
    });
    EXPECT_EQ(result, 0) << c.name;
  }
}

// A file's size is only a claim: a sparse file claims terabytes for nothing on
// disk. None of them may abort the host; each is just unreadable.
TEST_F(HostileFilesTest, SparseGiantsAreUnreadableNotFatal) {
  auto sparse = [](const std::string& path, off_t size) {
    fs::create_directories(fs::path(path).parent_path());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  };
  sparse(manifest(), off_t{100} << 30);
  EXPECT_EQ(load(), 0) << "100 GiB manifest";

  const std::string bundle = tmp.file("Ext.appex");
  sparse(bundle + "/Contents/Info.plist", off_t{100} << 30);
  EXPECT_EQ(inChild([&] { return PlistBundle(bundle, {}).isLoadable() ? 1 : 0; }), 0)
      << "100 GiB Info.plist";
  std::ofstream(bundle + "/Contents/Info.plist") << kInfoPlist;
  sparse(bundle + "/Contents/Resources/en.lproj/Localizable.strings", off_t{100} << 30);
  EXPECT_EQ(inChild([&] {
              PlistBundle loaded(bundle, {"en"});
              return loaded.localizedString("finder.menu.history", "") == "finder.menu.history" ? 0
                                                                                                : 1;
            }),
            0)
      << "100 GiB string table";

  if (testing::kAddressSanitized) return;  // it reserves terabytes of address space itself
  // Under the read limit but over the memory the process may have: still no abort.
  sparse(manifest(), off_t{900} << 20);
  EXPECT_EQ(inChild([&] {
              rlimit limit{rlim_t{512} << 20, rlim_t{512} << 20};
              if (::setrlimit(RLIMIT_AS, &limit) != 0) return 9;
              return load() == 0 ? 0 : 1;
            }),
            0)
      << "900 MiB manifest in 512 MiB";
}

// Converting a property list must not recurse without bound: far deeper than
// any real list is just unreadable.
TEST_F(HostileFilesTest, DeeplyNestedPropertyListsAreUnreadable) {
  const std::string bundle = tmp.file("Ext.appex");
  std::string deep;
  for (int i = 0; i < 17'000; ++i) deep += "<array>";
  for (int i = 0; i < 17'000; ++i) deep += "</array>";
  const std::string nested = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0">)"
                             "<dict><key>CFBundleIdentifier</key><string>a.b.FinderSync</string>"
                             "<key>x</key>" +
                             deep + "</dict></plist>";
  fs::create_directories(bundle + "/Contents/Resources/en.lproj");
  std::ofstream(bundle + "/Contents/Info.plist") << nested;
  EXPECT_EQ(inChild([&] { return PlistBundle(bundle, {}).isLoadable() ? 1 : 0; }), 0);
  std::ofstream(bundle + "/Contents/Info.plist") << kInfoPlist;
  std::ofstream(bundle + "/Contents/Resources/en.lproj/Localizable.strings") << nested;
  EXPECT_EQ(inChild([&] {
              PlistBundle loaded(bundle, {"en"});
              return loaded.localizedString("k", "") == "k" ? 0 : 1;
            }),
            0);
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
          if (extension.menuForMenuKind(MenuKind::contextualMenuForItems).items.size() != 1)
            return 2;
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
