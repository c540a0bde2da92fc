// Loads the built Nautilus module as Nautilus does (GModule, a GTypeModule,
// the three entry points) and drives its menu provider with file infos of our
// own, on a private session bus where the test plays the main application.

#include <gio/gio.h>
#include <gmodule.h>
#include <pwd.h>
#include <unistd.h>

extern "C" {
#include <nautilus-extension.h>
}

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

namespace fs = std::filesystem;

// A file as Nautilus reports it: only what the module asks is answered.
struct TestFile {
  GObject parent;
  char* uri;
  gboolean directory;
};
struct TestFileClass {
  GObjectClass parent;
};

GType testFileType() {
  static GType type = [] {
    GTypeInfo info{};
    info.class_size = sizeof(TestFileClass);
    info.instance_size = sizeof(TestFile);
    info.class_init = [](gpointer klass, gpointer) {
      G_OBJECT_CLASS(klass)->finalize = [](GObject* object) {
        g_free(reinterpret_cast<TestFile*>(object)->uri);
        G_OBJECT_CLASS(g_type_class_peek(G_TYPE_OBJECT))->finalize(object);
      };
    };
    GType registered =
        g_type_register_static(G_TYPE_OBJECT, "TarvineTestFile", &info, static_cast<GTypeFlags>(0));
    static const GInterfaceInfo fileInfo = {
        [](gpointer iface, gpointer) {
          auto* file = static_cast<NautilusFileInfoInterface*>(iface);
          file->get_uri = [](NautilusFileInfo* self) {
            return g_strdup(reinterpret_cast<TestFile*>(self)->uri);
          };
          file->is_directory = [](NautilusFileInfo* self) {
            return reinterpret_cast<TestFile*>(self)->directory;
          };
        },
        nullptr, nullptr};
    g_type_add_interface_static(registered, NAUTILUS_TYPE_FILE_INFO, &fileInfo);
    return registered;
  }();
  return type;
}

NautilusFileInfo* fileInfo(const std::string& uri, bool directory) {
  auto* file = static_cast<TestFile*>(g_object_new(testFileType(), nullptr));
  file->uri = g_strdup(uri.c_str());
  file->directory = directory;
  return NAUTILUS_FILE_INFO(file);
}

// Nautilus's side of a module: a GTypeModule whose loading is done by hand.
GTypeModule* typeModule() {
  GTypeInfo info{};
  info.class_size = sizeof(GTypeModuleClass);
  info.instance_size = sizeof(GTypeModule);
  info.class_init = [](gpointer klass, gpointer) {
    G_TYPE_MODULE_CLASS(klass)->load = [](GTypeModule*) -> gboolean { return TRUE; };
    G_TYPE_MODULE_CLASS(klass)->unload = [](GTypeModule*) {};
  };
  GType type = g_type_register_static(G_TYPE_TYPE_MODULE, "TarvineTestTypeModule", &info,
                                      static_cast<GTypeFlags>(0));
  auto* module = G_TYPE_MODULE(g_object_new(type, nullptr));
  g_type_module_use(module);
  return module;
}

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
    gchar* out = nullptr;
    const char* argv[] = {"dbus-daemon",       "--session",     "--fork",
                          "--print-address=1", "--print-pid=1", nullptr};
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                             nullptr, nullptr, &out, nullptr, nullptr, nullptr));
    std::string lines = out;
    g_free(out);
    busAddress = new std::string(lines.substr(0, lines.find('\n')));
    busPid = std::stoi(lines.substr(lines.find('\n') + 1));
    ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress->c_str(), 1);
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

    GModule* module = g_module_open(TARVINE_NAUTILUS_MODULE, G_MODULE_BIND_LOCAL);
    ASSERT_NE(module, nullptr) << g_module_error();
    void (*initialize)(GTypeModule*) = nullptr;
    void (*listTypes)(const GType**, int*) = nullptr;
    ASSERT_TRUE(g_module_symbol(module, "nautilus_module_initialize",
                                reinterpret_cast<gpointer*>(&initialize)));
    ASSERT_TRUE(g_module_symbol(module, "nautilus_module_list_types",
                                reinterpret_cast<gpointer*>(&listTypes)));
    initialize(typeModule());
    const GType* types = nullptr;
    int count = 0;
    listTypes(&types, &count);
    ASSERT_EQ(count, 1);
    provider = NAUTILUS_MENU_PROVIDER(g_object_new(types[0], nullptr));

    // The test plays the running main application: it owns the bus name.
    application = g_dbus_connection_new_for_address_sync(
        busAddress->c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    ASSERT_NE(application, nullptr);
  }

  static void TearDownTestSuite() {
    g_object_unref(provider);
    g_object_unref(application);
    ::kill(busPid, SIGTERM);
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
    for (const auto& [uri, directory] : files) list = g_list_append(list, fileInfo(uri, directory));
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

  std::vector<nlohmann::json> requests() {
    std::vector<nlohmann::json> found;
    fs::path spool = fs::path(data->path()) / "QF7T2K9M4R.com.quillfen.tarvine/requests";
    if (!fs::exists(spool)) return found;
    for (const auto& entry : fs::directory_iterator(spool)) {
      std::ifstream in(entry.path());
      found.push_back(nlohmann::json::parse(in));
      fs::remove(entry.path());
    }
    return found;
  }

  static inline std::string* busAddress = nullptr;
  static inline int busPid = 0;
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
  own(true);
  ASSERT_EQ(settled(uri("/watched"), kWatchedRoot), kWatchedRoot);
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
  NautilusFileInfo* folder = fileInfo(uri("/watched"), true);
  GList* background = nautilus_menu_provider_get_background_items(provider, folder);
  EXPECT_EQ(background == nullptr ? "none" : describe(background), kWatchedRoot);
  GList* list = g_list_append(nullptr, fileInfo(uri("/watched"), true));
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
}

TEST_F(NautilusModuleTest, AnEntryDeliversItsSelectorWithTheSelectionOfItsMenu) {
  own(true);
  ASSERT_EQ(settled(uri("/watched"), kWatchedRoot), kWatchedRoot);
  requests();
  GList* list = g_list_append(nullptr, fileInfo(uri("/watched"), true));
  GList* items = nautilus_menu_provider_get_file_items(provider, list);
  g_list_free_full(list, g_object_unref);
  // The file manager moves on to another item before the entry is picked.
  EXPECT_NE(fileItems({{uri("/outside"), true}}), "none");
  nautilus_menu_item_activate(findItem(items, "Snapshot Now"));
  nautilus_menu_item_activate(findItem(items, "\u2713 Enable History"));  // insensitive: nothing
  nautilus_menu_item_list_free(items);
  auto written = requests();
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["kind"], "snapshotNow");
  EXPECT_EQ(written[0]["target"], *root + "/watched");
  own(false);
  EXPECT_EQ(settled(uri("/watched"), "none"), "none");
}

}  // namespace
