// The shared GLib module over a file manager of the test's own, in both shapes
// the real ones take: one that shows separators and disabled entries (as Nemo
// does), and one that shows neither (as Thunar does). Needs no file manager.

#include "hosts/glib/GLibModule.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/ModuleEnvironment.h"

namespace {

// A file manager's item: a GObject with a "sensitive" property and an
// "activate" signal, its name, label and icon kept as given.
struct FakeItem {
  GObject parent;
  char* name;
  char* label;
  gboolean sensitive;
};
struct FakeItemClass {
  GObjectClass parent;
};
G_DEFINE_TYPE(FakeItem, fake_item, G_TYPE_OBJECT)

void fake_item_init(FakeItem* item) { item->sensitive = TRUE; }

void fake_item_class_init(FakeItemClass* klass) {
  auto* object = G_OBJECT_CLASS(klass);
  object->set_property = [](GObject* self, guint, const GValue* value, GParamSpec*) {
    reinterpret_cast<FakeItem*>(self)->sensitive = g_value_get_boolean(value);
  };
  object->get_property = [](GObject* self, guint, GValue* value, GParamSpec*) {
    g_value_set_boolean(value, reinterpret_cast<FakeItem*>(self)->sensitive);
  };
  object->finalize = [](GObject* self) {
    g_free(reinterpret_cast<FakeItem*>(self)->name);
    g_free(reinterpret_cast<FakeItem*>(self)->label);
    G_OBJECT_CLASS(fake_item_parent_class)->finalize(self);
  };
  g_object_class_install_property(
      object, 1, g_param_spec_boolean("sensitive", nullptr, nullptr, TRUE, G_PARAM_READWRITE));
  g_signal_new("activate", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_LAST, 0, nullptr, nullptr,
               nullptr, G_TYPE_NONE, 0);
}

FakeItem* newItem(const char* name, const char* label, const char*, const char*) {
  auto* item = static_cast<FakeItem*>(g_object_new(fake_item_get_type(), nullptr));
  item->name = g_strdup(name);
  item->label = g_strdup(label);
  return item;
}
FakeItem* newSeparator(const char* name) { return newItem(name, "---", nullptr, nullptr); }

struct FakeFile {
  std::string uri;
  bool isDirectory;
};

int itemsUpdated = 0;

// A menu is a list store of items; an item's submenu is kept on it.
constexpr tarvine::GLibMenuApi<FakeFile, FakeItem, GListStore, GObject, GTypeInterface> kShowsAll{
    [](FakeFile* file) { return g_strdup(file->uri.c_str()); },
    [](FakeFile* file) -> gboolean { return file->isDirectory; },
    newItem,
    newSeparator,
    [] { return g_list_store_new(fake_item_get_type()); },
    [](GListStore* menu, FakeItem* item) { g_list_store_append(menu, item); },
    [](FakeItem* item, GListStore* menu) {
      g_object_set_data_full(G_OBJECT(item), "submenu", g_object_ref(menu), g_object_unref);
    },
    [](GObject*) { ++itemsUpdated; },
    true};
constexpr auto kShowsNeither = [] {
  auto api = kShowsAll;
  api.newSeparator = nullptr;
  api.emitItemsUpdated = nullptr;
  api.showsInsensitiveItems = false;
  return api;
}();
constexpr auto kSecondCopy = kShowsAll;
using ShowsAll = tarvine::GLibModule<kShowsAll>;
using ShowsNeither = tarvine::GLibModule<kShowsNeither>;
using SecondCopy = tarvine::GLibModule<kSecondCopy>;

std::size_t threadsOfThisProcess() {
  std::size_t count = 0;
  GDir* tasks = g_dir_open("/proc/self/task", 0, nullptr);
  while (tasks != nullptr && g_dir_read_name(tasks) != nullptr) ++count;
  if (tasks != nullptr) g_dir_close(tasks);
  return count;
}

// One line per menu: labels, "-" when insensitive, submenus in brackets;
// "none" for no items. With `names`, each item's name instead of its label.
std::string describe(GList* items, bool names = false) {
  if (items == nullptr) return "none";
  std::string out;
  for (GList* node = items; node != nullptr; node = node->next) {
    auto* item = static_cast<FakeItem*>(node->data);
    out += std::string(out.empty() ? "" : "|") + (names ? item->name : item->label) +
           (item->sensitive || names ? "" : "-");
    if (auto* submenu = G_LIST_MODEL(g_object_get_data(G_OBJECT(item), "submenu"))) {
      GList* children = nullptr;
      for (guint i = g_list_model_get_n_items(submenu); i > 0; --i) {
        children = g_list_prepend(children, g_list_model_get_item(submenu, i - 1));
      }
      out += "[" + describe(children, names) + "]";
      g_list_free_full(children, g_object_unref);
    }
  }
  return out;
}

template <class Module>
std::string menuFor(const std::vector<FakeFile>& files, bool names = false) {
  GList* list = nullptr;
  for (const FakeFile& file : files) list = g_list_append(list, const_cast<FakeFile*>(&file));
  GList* items = Module::selectionItems(list);
  g_list_free(list);
  std::string text = describe(items, names);
  g_list_free_full(items, g_object_unref);
  return text;
}

FakeItem* find(GList* items, const std::string& label) {
  for (GList* node = items; node != nullptr; node = node->next) {
    auto* item = static_cast<FakeItem*>(node->data);
    if (label == item->label) return item;
    auto* submenu = G_LIST_MODEL(g_object_get_data(G_OBJECT(item), "submenu"));
    for (guint i = 0; submenu != nullptr && i < g_list_model_get_n_items(submenu); ++i) {
      auto* child = static_cast<FakeItem*>(g_list_model_get_item(submenu, i));
      g_object_unref(child);  // the menu keeps it
      if (label == child->label) return child;
    }
  }
  return nullptr;
}

class GLibModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    env = new tarvine::testing::ModuleEnvironment(TARVINE_TEST_APPEX);
    ShowsAll::initialize(providerType("TarvineFakeProviderA", ShowsAll::providerMade));
    ShowsNeither::initialize(providerType("TarvineFakeProviderB", ShowsNeither::providerMade));
    provider = G_OBJECT(g_object_new(providerType("TarvineFakeProviderA", nullptr), nullptr));
    env->own(true);
    const std::vector<FakeFile> watched{{env->uri("/watched"), true}};
    ASSERT_TRUE(env->iterateUntil([&] {
      return menuFor<ShowsAll>(watched) != "none" && menuFor<ShowsNeither>(watched) != "none";
    }));
  }
  static void TearDownTestSuite() {
    ShowsAll::shutdown();
    ShowsNeither::shutdown();
    g_object_unref(provider);
    delete env;
  }
  // A provider type whose instances the module is told of.
  static GType providerType(const char* name, GInstanceInitFunc made) {
    if (GType known = g_type_from_name(name)) return known;
    return g_type_register_static_simple(G_TYPE_OBJECT, name, sizeof(GObjectClass), nullptr,
                                         sizeof(GObject), made, GTypeFlags{});
  }

  static inline tarvine::testing::ModuleEnvironment* env = nullptr;
  static inline GObject* provider = nullptr;
};

TEST_F(GLibModuleTest, ACopyWhoseTypeWasTakenStartsNoThreadAndShowsNoMenu) {
  // What g_type_module_register_type gives a second copy of the module.
  const std::size_t before = threadsOfThisProcess();
  SecondCopy::initialize(GType(0));
  EXPECT_EQ(threadsOfThisProcess(), before);
  EXPECT_EQ(menuFor<SecondCopy>({{env->uri("/watched"), true}}), "none");
  SecondCopy::shutdown();
}

TEST_F(GLibModuleTest, EachShapeShowsWhatItCanOfTheMenu) {
  struct Case {
    std::vector<FakeFile> files;
    const char* showsAll;
    const char* showsNeither;
  };
  const Case cases[] = {
      {{{env->uri("/watched"), true}},
       "History[\u2713 Enable History-|Disable History|---|Snapshot Now|Restore Previous "
       "Version-|---|Show History\u2026]",
       "History[Disable History|Snapshot Now|Show History\u2026]"},
      {{{env->uri("/outside"), true}},
       "History[Enable History|Disable History-|---|Snapshot Now-|Restore Previous "
       "Version-|---|Show History\u2026-]",
       "History[Enable History]"},
      // Percent-decoded, and a file.
      {{{env->uri("/watched/a%20b.txt"), false}},
       "History[\u2713 Enable History-|Disable History-|---|Snapshot Now-|Restore Previous "
       "Version|---|Show History\u2026]",
       "History[Restore Previous Version|Show History\u2026]"},
      // No menu: a file outside every root, a folder outside the scope, what is
      // not a local file (alone or among others), and nothing at all.
      {{{env->uri("/outside/file.txt"), false}}, "none", "none"},
      {{{"file:///tmp/tarvine-elsewhere", true}}, "none", "none"},
      {{{"trash:///watched", true}}, "none", "none"},
      {{{env->uri("/watched"), true}, {"trash:///x", false}}, "none", "none"},
      {{}, "none", "none"},
  };
  for (const Case& c : cases) {
    const std::string about = c.files.empty() ? "nothing" : c.files[0].uri;
    EXPECT_EQ(menuFor<ShowsAll>(c.files), c.showsAll) << about;
    EXPECT_EQ(menuFor<ShowsNeither>(c.files), c.showsNeither) << about;
  }
  // Both heard when the application came; the shape with the signal emits it
  // on the file manager's loop.
  EXPECT_TRUE(env->iterateUntil([] { return itemsUpdated > 0; }));
}

TEST_F(GLibModuleTest, ItemsAreNamedByTheirCommandApartForEachKindOfMenu) {
  const std::vector<FakeFile> watched{{env->uri("/watched"), true}};
  EXPECT_EQ(menuFor<ShowsAll>(watched, true),
            "Tarvine::history[Tarvine::enableHistory|Tarvine::disableHistory|Tarvine::separator3|"
            "Tarvine::snapshotNow|Tarvine::restorePrevious|Tarvine::separator6|"
            "Tarvine::showHistory]");
  // Some file managers make one action per name for both menus at once.
  FakeFile folder{env->uri("/watched"), true};
  GList* background = ShowsAll::folderItems(&folder);
  EXPECT_EQ(describe(background, true).substr(0, 50),
            "Tarvine::folder::history[Tarvine::folder::enableHi");
  g_list_free_full(background, g_object_unref);
}

TEST_F(GLibModuleTest, AnEntryDeliversItsSelectorWithTheSelectionOfItsMenu) {
  env->requests();
  FakeFile watched{env->uri("/watched"), true};
  GList* list = g_list_append(nullptr, &watched);
  GList* items = ShowsAll::selectionItems(list);
  g_list_free(list);
  // The file manager moves on to another item before the entry is picked.
  EXPECT_NE(menuFor<ShowsAll>({{env->uri("/outside"), true}}), "none");
  g_signal_emit_by_name(find(items, "Snapshot Now"), "activate");
  g_signal_emit_by_name(find(items, "\u2713 Enable History"), "activate");  // disabled: nothing
  g_list_free_full(items, g_object_unref);
  auto written = env->requests(1);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]["kind"], "snapshotNow");
  EXPECT_EQ(written[0]["target"], env->root() + "/watched");
}

}  // namespace
