// Loads the built Nautilus module as Nautilus does (GModule, a GTypeModule,
// the three entry points) and drives its menu provider with file infos of our
// own: what is Nautilus's own (its items and their properties, the
// items-updated signal, the item's activation). The shared module's logic is
// tested over a file manager of the tests' own (GLibModuleTest).

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ModuleEnvironment.h"
#include "tests/support/NautilusDoubles.h"

namespace {

// One line per item: its label, "-" when insensitive, and its submenu.
std::string describe(GList* items) {
  std::string out;
  for (GList* node = items; node != nullptr; node = node->next) {
    gchar* label = nullptr;
    gboolean sensitive = FALSE;
    NautilusMenu* submenu = nullptr;
    g_object_get(node->data, "label", &label, "sensitive", &sensitive, "menu", &submenu, nullptr);
    out += std::string(out.empty() ? "" : "|") + label + (sensitive ? "" : "-");
    if (submenu != nullptr) {
      GList* children = nautilus_menu_get_items(submenu);
      out += "[" + describe(children) + "]";
      nautilus_menu_item_list_free(children);
      g_object_unref(submenu);
    }
    g_free(label);
  }
  return out;
}

constexpr const char* kWatchedRoot =
    "History[\u2713 Enable History-|Disable History|Snapshot Now|Restore Previous Version-|Show "
    "History\u2026]";

TEST(NautilusModuleTest, LoadedAsNautilusLoadsItTheModuleShowsTellsAndDelivers) {
  tarvine::testing::ModuleEnvironment env(TARVINE_TEST_APPEX);
  NautilusMenuProvider* provider = tarvine::testing::loadNautilusProvider(TARVINE_NAUTILUS_MODULE);
  GList* items = nullptr;
  auto watchedItems = [&] {
    if (items != nullptr) nautilus_menu_item_list_free(items);
    GList* files =
        g_list_append(nullptr, tarvine::testing::nautilusFileInfo(env.uri("/watched"), true));
    items = nautilus_menu_provider_get_file_items(provider, files);
    g_list_free_full(files, g_object_unref);
    return items;
  };
  // Nothing while the main application does not own its name.
  EXPECT_EQ(watchedItems(), nullptr);
  // Nautilus rebuilds the items of an unchanged selection only when told: the
  // provider says so, on the file manager's main loop.
  int updates = 0;
  g_signal_connect(provider, "items-updated",
                   G_CALLBACK(+[](GObject*, gpointer count) { ++*static_cast<int*>(count); }),
                   &updates);
  env.own(true);
  ASSERT_TRUE(env.iterateUntil([&] { return watchedItems() != nullptr && updates > 0; }));
  EXPECT_EQ(describe(items), kWatchedRoot);

  // Nautilus's own activation of an item delivers its command.
  GList* submenu = nullptr;
  NautilusMenu* menu = nullptr;
  g_object_get(items->data, "menu", &menu, nullptr);
  submenu = nautilus_menu_get_items(menu);
  nautilus_menu_item_activate(NAUTILUS_MENU_ITEM(g_list_nth_data(submenu, 2)));  // Snapshot Now
  nautilus_menu_item_list_free(submenu);
  g_object_unref(menu);
  auto written = env.requests(1);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["kind"], "snapshotNow");

  // The owner goes away: no menu, and Nautilus is told again.
  const int before = updates;
  env.own(false);
  EXPECT_TRUE(env.iterateUntil([&] { return watchedItems() == nullptr && updates > before; }));
  g_signal_handlers_disconnect_by_data(provider, &updates);
  g_object_unref(provider);
}

}  // namespace
