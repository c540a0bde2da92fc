// Loads the built Nautilus module as Nautilus does (GModule, a GTypeModule,
// the three entry points) and drives its menu provider with file infos of our
// own, on a private session bus where the test plays the main application.

#include <gio/gio.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/support/NautilusDoubles.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

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

NautilusMenuItem* findItem(GList* items, const std::string& label) {
  for (GList* node = items; node != nullptr; node = node->next) {
    gchar* text = nullptr;
    NautilusMenu* submenu = nullptr;
    g_object_get(node->data, "label", &text, "menu", &submenu, nullptr);
    bool same = label == text;
    g_free(text);
    if (same) {
      if (submenu != nullptr) g_object_unref(submenu);
      return NAUTILUS_MENU_ITEM(node->data);
    }
    if (submenu != nullptr) {
      GList* children = nautilus_menu_get_items(submenu);
      NautilusMenuItem* found = findItem(children, label);
      nautilus_menu_item_list_free(children);
      g_object_unref(submenu);
      if (found != nullptr) return found;
    }
  }
  return nullptr;
}

// Runs the default main context for a while, as the file manager's loop would.
void iterate(int milliseconds) {
  gint64 end = g_get_monotonic_time() + milliseconds * 1000;
  while (g_get_monotonic_time() < end) {
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
}

std::string home() {
  passwd* record = ::getpwuid(::getuid());
  return record != nullptr && record->pw_dir != nullptr ? record->pw_dir : "/";
}

class NautilusModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A private bus, the test's data directory and the build's bundle.
    bus = new tarvine::testing::PrivateBus;
    ::setenv("TARVINE_EXTENSION_BUNDLE", TARVINE_TEST_APPEX, 1);
    ::setenv("LANGUAGE", "en", 1);
    data = new tarvine::testing::TempDir;
    ::setenv("XDG_DATA_HOME", data->path().c_str(), 1);
    // Folders in the registered scope (the user database's home); they need
    // not exist, as matching keeps what does not exist as written.
    root = new std::string(home() + "/.tarvine-module-test-" + std::to_string(::getpid()));
    data->write("QF7T2K9M4R.com.quillfen.tarvine/roots.json",
                R"({"version":1,"publishedAt":"2025-03-14T09:26:53Z","roots":[{"path":")" + *root +
                    R"(/watched","isPaused":false,"mode":"manual"}]})");
    provider = tarvine::testing::loadNautilusProvider(TARVINE_NAUTILUS_MODULE);
    // The test plays the running main application: it owns the bus name.
    application = bus->connect();
    ASSERT_NE(application, nullptr);
  }

  static void TearDownTestSuite() {
    g_object_unref(provider);
    g_object_unref(application);
    delete bus;
    delete data;
  }

  void own(bool owned) {
    if (owned) {
      nameId = g_bus_own_name_on_connection(application, "com.quillfen.tarvine",
                                            G_BUS_NAME_OWNER_FLAGS_NONE, nullptr, nullptr, nullptr,
                                            nullptr);
    } else {
      g_bus_unown_name(nameId);
    }
  }

  std::string fileItems(const std::vector<std::pair<std::string, bool>>& files) {
    GList* list = nullptr;
    for (const auto& [uri, directory] : files)
      list = g_list_append(list, tarvine::testing::nautilusFileInfo(uri, directory));
    GList* items = nautilus_menu_provider_get_file_items(provider, list);
    g_list_free_full(list, g_object_unref);
    std::string text = items == nullptr ? "none" : describe(items);
    if (items != nullptr) nautilus_menu_item_list_free(items);
    return text;
  }

  // The watch hears of a change of owner through the main loop, as in the file
  // manager: the answer is awaited, within a bound.
  std::string settled(const std::string& uri, const std::string& expected) {
    std::string text;
    for (int i = 0; i < 100 && (text = fileItems({{uri, true}})) != expected; ++i) iterate(50);
    return text;
  }

  std::string uri(const std::string& relative) { return "file://" + *root + relative; }

  // The requests in the spool, once there are `count` (commands are carried
  // out on the extension's thread, after the call returned).
  std::vector<nlohmann::json> requests(std::size_t count = 0) {
    std::vector<nlohmann::json> found;
    fs::path spool = fs::path(data->path()) / "QF7T2K9M4R.com.quillfen.tarvine/requests";
    auto listed = [&] {
      return fs::exists(spool) ? std::distance(fs::directory_iterator(spool), {}) : 0;
    };
    for (int i = 0; i < 250 && listed() < static_cast<std::ptrdiff_t>(count); ++i) iterate(20);
    if (!fs::exists(spool)) return found;
    for (const auto& entry : fs::directory_iterator(spool)) {
      std::ifstream in(entry.path());
      found.push_back(nlohmann::json::parse(in));
      fs::remove(entry.path());
    }
    return found;
  }

  static inline tarvine::testing::PrivateBus* bus = nullptr;
  static inline tarvine::testing::TempDir* data = nullptr;
  static inline std::string* root = nullptr;
  static inline NautilusMenuProvider* provider = nullptr;
  static inline GDBusConnection* application = nullptr;
  static inline guint nameId = 0;
};

constexpr const char* kWatchedRoot =
    "History[\u2713 Enable History-|Disable History|Snapshot Now|Restore Previous Version-|Show "
    "History\u2026]";

TEST_F(NautilusModuleTest, MenusFollowKindScopeUrisAndTheApplicationsBusName) {
  // Nothing while the main application does not own its name.
  EXPECT_EQ(fileItems({{uri("/watched"), true}}), "none");
  // The file manager rebuilds the items of an unchanged selection only when
  // told: the provider says so, on the file manager's main loop.
  int updates = 0;
  g_signal_connect(provider, "items-updated",
                   G_CALLBACK(+[](GObject*, gpointer count) { ++*static_cast<int*>(count); }),
                   &updates);
  own(true);
  ASSERT_EQ(settled(uri("/watched"), kWatchedRoot), kWatchedRoot);
  // The signal comes through the main loop, which the menu may not have needed.
  for (int i = 0; i < 100 && updates == 0; ++i) iterate(20);
  EXPECT_GT(updates, 0);
  struct Case {
    std::vector<std::pair<std::string, bool>> files;
    std::string expected;
  };
  const Case cases[] = {
      {{{uri("/watched"), true}}, kWatchedRoot},
      {{{uri("/outside"), true}},
       "History[Enable History|Disable History-|Snapshot Now-|Restore Previous Version-|Show "
       "History\u2026-]"},
      {{{uri("/watched/a%20b.txt"), false}},  // percent-decoded, and a file
       "History[\u2713 Enable History-|Disable History-|Snapshot Now-|Restore Previous "
       "Version|Show History\u2026]"},
      {{{uri("/outside/file.txt"), false}}, "none"},               // a file outside every root
      {{{"file:///tmp/tarvine-elsewhere", true}}, "none"},         // outside the scope
      {{{"trash:///watched", true}}, "none"},                      // not a local file
      {{{uri("/watched"), true}, {"trash:///x", false}}, "none"},  // any item that is not
      {{}, "none"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fileItems(c.files), c.expected) << (c.files.empty() ? "" : c.files[0].first);
  }
  // The empty space of a folder view is kind 1: the folder itself. Nautilus
  // builds both menus at once and makes one action per item name, so no
  // name may stand in both.
  NautilusFileInfo* folder = tarvine::testing::nautilusFileInfo(uri("/watched"), true);
  GList* background = nautilus_menu_provider_get_background_items(provider, folder);
  EXPECT_EQ(background == nullptr ? "none" : describe(background), kWatchedRoot);
  GList* list = g_list_append(nullptr, tarvine::testing::nautilusFileInfo(uri("/watched"), true));
  GList* selected = nautilus_menu_provider_get_file_items(provider, list);
  g_list_free_full(list, g_object_unref);
  auto names = [](GList* items) {
    std::set<std::string> found;
    for (GList* node = items; node != nullptr; node = node->next) {
      gchar* name = nullptr;
      g_object_get(node->data, "name", &name, nullptr);
      found.insert(name);
      g_free(name);
    }
    return found;
  };
  for (const std::string& name : names(background)) EXPECT_EQ(names(selected).count(name), 0u);
  if (background != nullptr) nautilus_menu_item_list_free(background);
  if (selected != nullptr) nautilus_menu_item_list_free(selected);
  g_object_unref(folder);

  // The owner goes away while the file manager runs: no menu; back, a menu.
  own(false);
  EXPECT_EQ(settled(uri("/watched"), "none"), "none");
  own(true);
  EXPECT_EQ(settled(uri("/watched"), kWatchedRoot), kWatchedRoot);
  own(false);
  EXPECT_EQ(settled(uri("/watched"), "none"), "none");
  g_signal_handlers_disconnect_by_data(provider, &updates);
}

TEST_F(NautilusModuleTest, AnEntryDeliversItsSelectorWithTheSelectionOfItsMenu) {
  own(true);
  ASSERT_EQ(settled(uri("/watched"), kWatchedRoot), kWatchedRoot);
  requests();
  GList* list = g_list_append(nullptr, tarvine::testing::nautilusFileInfo(uri("/watched"), true));
  GList* items = nautilus_menu_provider_get_file_items(provider, list);
  g_list_free_full(list, g_object_unref);
  // The file manager moves on to another item before the entry is picked.
  EXPECT_NE(fileItems({{uri("/outside"), true}}), "none");
  nautilus_menu_item_activate(findItem(items, "Snapshot Now"));
  nautilus_menu_item_activate(findItem(items, "\u2713 Enable History"));  // insensitive: nothing
  nautilus_menu_item_list_free(items);
  auto written = requests(1);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["kind"], "snapshotNow");
  EXPECT_EQ(written[0]["target"], *root + "/watched");
  own(false);
  EXPECT_EQ(settled(uri("/watched"), "none"), "none");
}

}  // namespace
