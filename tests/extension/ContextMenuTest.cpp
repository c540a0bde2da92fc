#include <gtest/gtest.h>

#include <filesystem>

#include "extension/FinderSync.h"
#include "tests/extension/MenuTable.h"
#include "tests/support/FakeServices.h"
#include "tests/support/TempDir.h"

namespace tarvine {
namespace {

namespace fs = std::filesystem;
using testing::FakeServices;

constexpr const char* kGroup = "QF7T2K9M4R.com.quillfen.tarvine";

std::string describe(const Menu& menu) {
  if (menu.items.empty()) return "empty";
  const MenuItem& top = menu.items[0];
  std::string out = top.action ? std::string(selectorName(*top.action)) : "none";
  for (std::size_t i = 0; i < top.submenu->items.size(); ++i) {
    const MenuItem& entry = top.submenu->items[i];
    if (entry.isSeparator) continue;
    out += std::string(" ") + testing::kMenuCommands[i] + (entry.enabled ? "+" : "-");
    if (i == 0) out += entry.state == MenuItemState::on ? "(on)" : "(off)";
  }
  return out;
}

class ContextMenuTest : public ::testing::Test {
 protected:
  ContextMenuTest() {
    base = fs::canonical(tmp.path()).string() + "/home";
    tmp.write(std::string(kGroup) + "/roots.json", testing::makeMenuTableRoots(base));
    env.bundle.images["BrandGlyph"] = NamedImage{"BrandGlyph", 32, 32};
  }

  std::string menuFor(const std::string& relative, bool isDirectory,
                      MenuKind kind = MenuKind::contextualMenuForItems) {
    env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + relative, isDirectory)};
    return describe(extension.menuForMenuKind(kind));
  }

  testing::TempDir tmp;
  FakeServices env{tmp.path()};
  Identifiers ids{env.bundle, env.fileSystem};
  FinderSync extension{env.services(), ids};
  std::string base;
};

TEST_F(ContextMenuTest, EveryRowOfTheMenuTable) {
  for (const testing::MenuRow& row : testing::kMenuTable) {
    EXPECT_EQ(menuFor(row.item, row.isDirectory, row.kind), row.menu)
        << row.item << (row.isDirectory ? "/" : "") << " kind "
        << static_cast<std::uint64_t>(row.kind);
  }
}

TEST_F(ContextMenuTest, EntriesHaveTheShapeOfThePlatformsMenus) {
  env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + "/manual", false)};
  Menu menu = extension.menuForMenuKind(MenuKind::contextualMenuForItems);
  EXPECT_EQ(menu.title, "");
  EXPECT_TRUE(menu.autoenablesItems);
  ASSERT_EQ(menu.items.size(), 1u);
  const MenuItem& top = menu.items[0];
  EXPECT_EQ(top.title, "finder.menu.history");
  EXPECT_EQ(top.target, &extension);
  EXPECT_TRUE(top.enabled);
  EXPECT_EQ(top.state, MenuItemState::off);
  EXPECT_EQ(top.image, (MenuImage{"BrandGlyph", 16, 16, false}));
  ASSERT_NE(top.submenu, nullptr);
  const Menu& sub = *top.submenu;
  EXPECT_EQ(sub.title, "");
  EXPECT_FALSE(sub.autoenablesItems);
  ASSERT_EQ(sub.items.size(), 7u);
  EXPECT_TRUE(sub.items[2].isSeparator);
  EXPECT_TRUE(sub.items[5].isSeparator);
  const char* keys[] = {"finder.menu.enable",     "finder.menu.disable",         "",
                        "finder.menu.snapshot",   "finder.menu.restorePrevious", "",
                        "finder.menu.showHistory"};
  const Selector selectors[] = {Selector::enableHistory,   Selector::disableHistory,
                                Selector::showHistory,     Selector::snapshotNow,
                                Selector::restorePrevious, Selector::showHistory,
                                Selector::showHistory};
  for (std::size_t i = 0; i < 7; ++i) {
    const MenuItem& entry = sub.items[i];
    if (entry.isSeparator) continue;
    EXPECT_EQ(entry.title, keys[i]);
    EXPECT_EQ(entry.keyEquivalent, "");
    EXPECT_EQ(entry.image, std::nullopt);
    EXPECT_EQ(entry.submenu, nullptr);
    if (entry.enabled) {
      EXPECT_EQ(entry.action, selectors[i]) << keys[i];
      EXPECT_EQ(entry.target, &extension);
    } else {
      // A disabled entry cannot send anything, whatever the host does.
      EXPECT_EQ(entry.action, std::nullopt) << keys[i];
      EXPECT_EQ(entry.target, nullptr);
    }
    if (i > 0) {
      EXPECT_EQ(entry.state, MenuItemState::off);
    }
  }
}

TEST_F(ContextMenuTest, OtherKindsConsultNothing) {
  env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + "/manual", true)};
  for (MenuKind kind :
       {MenuKind::contextualMenuForSidebar, MenuKind::toolbarItemMenu, MenuKind{UINT64_MAX}}) {
    EXPECT_TRUE(extension.menuForMenuKind(kind).items.empty());
  }
  EXPECT_TRUE(env.workspace.runningQueries.empty());
  EXPECT_EQ(env.fileSystem.calls.containerLookups, 0);
}

TEST_F(ContextMenuTest, StoppedMainApplicationLeavesTheCacheUntouched) {
  EXPECT_NE(menuFor("/manual", true), "empty");
  int lookups = env.fileSystem.calls.containerLookups;
  auto cached = extension.cachedManifest();
  env.workspace.running = false;
  EXPECT_EQ(menuFor("/manual", true), "empty");
  EXPECT_EQ(env.workspace.runningQueries.back(), "com.quillfen.tarvine");
  EXPECT_EQ(env.fileSystem.calls.containerLookups, lookups);
  EXPECT_EQ(extension.cachedManifest(), cached);
}

TEST_F(ContextMenuTest, NoManifestOrNoTargetGivesAnEmptyMenu) {
  // A folder whose name is not UTF-8 cannot be named in a request: no menu.
  fs::create_directory(base + "/auto/\xFF");
  EXPECT_EQ(menuFor("/auto/\xFF", true), "empty");
  EXPECT_EQ(menuFor("/outside/\xC3\xA9", true).substr(0, 14), "enableHistory:");
  fs::remove(tmp.file(std::string(kGroup) + "/roots.json"));
  EXPECT_EQ(menuFor("/outside", true), "empty");
  env.host.selection.reset();
  env.host.targeted.reset();
  EXPECT_TRUE(extension.menuForMenuKind(MenuKind::contextualMenuForItems).items.empty());
}

TEST_F(ContextMenuTest, OnlyTheFirstSelectedItemCounts) {
  env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + "/outside/f.txt", false),
                                            FileURL::fromPath(base + "/manual", true)};
  EXPECT_TRUE(extension.menuForMenuKind(MenuKind::contextualMenuForItems).items.empty());
  // A present but empty selection falls back to the targeted URL.
  env.host.selection = std::vector<FileURL>{};
  env.host.targeted = FileURL::fromPath(base + "/manual", true);
  EXPECT_EQ(describe(extension.menuForMenuKind(MenuKind::contextualMenuForContainer)),
            "showHistory: enable-(on) disable+ snapshot+ restore- show+");
  env.host.selection.reset();
  EXPECT_EQ(extension.resolveTargetURL(), env.host.targeted);
}

TEST_F(ContextMenuTest, BrandGlyphIsScaledToSixteenPointsHigh) {
  auto imageFor = [&](double width, double height) {
    env.bundle.images["BrandGlyph"] = NamedImage{"BrandGlyph", width, height};
    env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + "/outside", true)};
    return extension.menuForMenuKind(MenuKind::contextualMenuForItems).items.at(0).image;
  };
  EXPECT_EQ(imageFor(33, 32), (MenuImage{"BrandGlyph", 17, 16, false}));
  EXPECT_EQ(imageFor(29, 32), (MenuImage{"BrandGlyph", 15, 16, false}));
  EXPECT_EQ(imageFor(48, 32), (MenuImage{"BrandGlyph", 24, 16, false}));
  EXPECT_EQ(imageFor(32, 0), std::nullopt);
  EXPECT_EQ(imageFor(32, -4), std::nullopt);
  env.bundle.images.clear();
  Menu menu = extension.menuForMenuKind(MenuKind::contextualMenuForItems);
  ASSERT_EQ(menu.items.size(), 1u);
  EXPECT_EQ(menu.items[0].image, std::nullopt);
}

TEST_F(ContextMenuTest, TitlesAreLookedUpAfreshForEveryMenu) {
  env.bundle.strings["finder.menu.history"] = "History";
  env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + "/outside", true)};
  Menu first = extension.menuForMenuKind(MenuKind::contextualMenuForItems);
  EXPECT_EQ(first.items[0].title, "History");
  EXPECT_EQ(first.items[0].submenu->items[0].title, "finder.menu.enable");
  env.bundle.strings["finder.menu.history"] = "Verlauf";
  EXPECT_EQ(extension.menuForMenuKind(MenuKind::contextualMenuForItems).items[0].title, "Verlauf");
}

TEST_F(ContextMenuTest, MenusCopyDeeply) {
  env.host.selection = std::vector<FileURL>{FileURL::fromPath(base + "/manual", true)};
  Menu menu = extension.menuForMenuKind(MenuKind::contextualMenuForItems);
  Menu copy = menu;
  EXPECT_EQ(copy, menu);
  copy.items[0].submenu->items[0].title = "changed";
  EXPECT_NE(copy, menu);
  EXPECT_EQ(menu.items[0].submenu->items[0].title, "finder.menu.enable");
}

TEST(SelectorTest, NamesRoundTrip) {
  for (Selector s : {Selector::showHistory, Selector::enableHistory, Selector::disableHistory,
                     Selector::snapshotNow, Selector::restorePrevious}) {
    EXPECT_EQ(selectorFromName(selectorName(s)), s);
    EXPECT_EQ(selectorName(s).back(), ':');
  }
  EXPECT_FALSE(selectorFromName("showHistory"));
}

}  // namespace
}  // namespace tarvine
