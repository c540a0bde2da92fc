// Menus requested while the main application keeps republishing its manifest.

#include <gtest/gtest.h>
#include <atomic>
#include <filesystem>
#include <thread>

#include "extension/FinderSync.h"
#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

// Manifest `k` pauses the watched folder when k is odd and makes it manual when
// k is a multiple of three; a varying number of other roots comes first.
std::string manifestText(int k) {
  WatchedRootsManifest manifest{k, Timestamp::fromUnix(1'700'000'000 + k), {}};
  for (int i = 0; i < k % 40; ++i) {
    manifest.roots.push_back({"/filler/" + std::to_string(k) + "/" + std::to_string(i), false, {}});
  }
  manifest.roots.push_back({"/v/target", k % 2 == 1, k % 3 == 0 ? "manual" : "automatic"});
  return manifest.encode().value();
}

TEST(ManifestRewriteTest, EveryMenuComesFromOneWholeManifest) {
  testing::TempDir tmp;
  testing::FakeServices env(tmp.path());
  std::filesystem::create_directory(tmp.file("QF7T2K9M4R.com.quillfen.tarvine"));
  const FileURL manifestFile =
      FileURL::fromPath(tmp.file("QF7T2K9M4R.com.quillfen.tarvine/roots.json"), false);
  ASSERT_TRUE(env.posix.writeFileAtomically(manifestFile, manifestText(0)).ok());

  Identifiers ids(env.bundle, env.fileSystem);
  FinderSync extension(env.services(), ids);
  env.host.selection = std::vector<FileURL>{FileURL::fromPath("/v/target/", true)};

  std::atomic<bool> done{false};
  std::thread writer([&] {
    PosixFileSystem files(tmp.path());
    for (int k = 1; k <= 1000; ++k) {
      if (!files.writeFileAtomically(manifestFile, manifestText(k)).ok()) std::abort();
    }
    done = true;
  });

  int menus = 0;
  int mismatches = 0;
  while (!done || menus < 100) {
    Menu menu = extension.menuForMenuKind(MenuKind::contextualMenuForItems);
    ++menus;
    auto manifest = extension.cachedManifest();
    if (menu.items.size() != 1 || manifest == nullptr) {
      ++mismatches;
      continue;
    }
    // The menu must be the one that manifest gives, with nothing of another.
    const int k = static_cast<int>(manifest->version);
    const bool paused = k % 2 == 1;
    const bool manual = k % 3 == 0;
    const auto& entries = menu.items[0].submenu->items;
    bool consistent = manifest->roots.size() == static_cast<std::size_t>(k % 40 + 1) &&
                      entries[0].state == (paused ? MenuItemState::off : MenuItemState::on) &&
                      entries[0].enabled == paused && entries[1].enabled == !paused &&
                      entries[3].enabled == (!paused && manual) && entries[6].enabled;
    if (!consistent) ++mismatches;
  }
  writer.join();
  EXPECT_EQ(mismatches, 0) << "of " << menus << " menus";
  RecordProperty("menus", menus);
}

}  // namespace
}  // namespace tarvine
