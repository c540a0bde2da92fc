#pragma once

#include <glib-object.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "hosts/glib/ExtensionWorker.h"
#include "hosts/glib/HostExtension.h"

namespace tarvine {

// Everything a GLib file manager's module does but its API calls: the one
// extension of the process, the menu provider's two questions, and the
// conversion of the menu into the file manager's items. Every such API has
// the same shape (file infos with a URI; items with a name, a label and an
// icon name, a "sensitive" property, a submenu and an "activate" signal), so
// a module only names its functions in an `Api`:
//
//   using FileInfo = ...; using Item = ...; using Menu = ...;
//   static char* uri(FileInfo*);  static bool isDirectory(FileInfo*);
//   static Item* newItem(const char* name, const char* label, const char* icon);
//   static Item* newSeparator(const char* name);  // nullptr where there are none
//   static Menu* newMenu();
//   static void append(Menu*, Item*);
//   static void setSubmenu(Item*, Menu*);
//   static constexpr bool showsInsensitiveItems;  // false: disabled entries are left out
//   using Provider = ...; static void emitItemsUpdated(Provider*);  // a no-op where none
//
// None of them can show a check mark, so the enable entry's state shows in
// its title. Item names differ between kinds: some file managers make one
// action per name for the menus of a selection and of a folder together.
template <class Api>
class GLibModule {
 public:
  // At the module's initialisation: its provider type, registered by the
  // module, and the extension's thread, started once. Nothing here touches a
  // file or the bus: the worker makes the extension on its own thread.
  static void initialize(GType providerType) {
    guarded("initialising", [&] {
      type_ = providerType;
      if (worker_ == nullptr) {
        worker_ = std::make_shared<ExtensionWorker>(
            [] {
              return std::make_unique<HostExtension>(
                  HostExtension::bundlePath(TARVINE_INSTALLED_BUNDLE));
            },
            &itemsChanged);
      }
    });
  }
  // Carries out the commands already picked, then ends the thread. Items still
  // alive keep the worker object, which then does nothing.
  static void shutdown() {
    guarded("shutting down", [] {
      if (worker_ != nullptr) worker_->stop();
      worker_.reset();
    });
  }
  static void listTypes(const GType** types, int* count) {
    *types = &type_;
    *count = 1;
  }
  // Each provider the file manager makes, so that it can be told when its
  // items change; given as the type's instance initialiser.
  static void providerMade(GTypeInstance* instance, gpointer) {
    providers_.push_back(G_OBJECT(instance));
    g_object_weak_ref(
        G_OBJECT(instance), [](gpointer, GObject* gone) { std::erase(providers_, gone); }, nullptr);
  }

  // The menu for selected items (a list of file infos), and for the empty
  // space of a folder.
  static GList* selectionItems(GList* files) {
    return guarded("building a menu", [&]() -> GList* {
      if (worker_ == nullptr) return nullptr;
      std::vector<FileManagerItem> items;
      for (GList* file = files; file != nullptr; file = file->next) {
        items.push_back(itemOf(static_cast<typename Api::FileInfo*>(file->data)));
      }
      return items_(worker_->menuForSelection(std::move(items)), "items");
    });
  }
  static GList* folderItems(typename Api::FileInfo* folder) {
    return guarded("building a menu", [&]() -> GList* {
      if (worker_ == nullptr || folder == nullptr) return nullptr;
      return items_(worker_->menuForFolder(itemOf(folder)), "folder");
    });
  }

  // The same as provider callbacks of the GTK 3 file managers, which pass
  // their window too: (provider, window, files) and (provider, window, folder).
  template <class Provider, class Window>
  static GList* selectionItemsFor(Provider*, Window*, GList* files) {
    return selectionItems(files);
  }
  template <class Provider, class Window>
  static GList* folderItemsFor(Provider*, Window*, typename Api::FileInfo* folder) {
    return folderItems(folder);
  }

 private:
  // Nothing may be thrown into the file manager's C code: a failure is a menu
  // not shown or a command dropped.
  template <class Body>
  static auto guarded(const char*, Body body) noexcept -> decltype(body()) {
    try {
      return body();
    } catch (...) {
      if constexpr (!std::is_void_v<decltype(body())>) return {};
    }
  }

  // On the worker thread: the file manager hears of it on its own main loop,
  // once however often it is said before that runs.
  static void itemsChanged() {
    if (updatePending_.exchange(true)) return;
    g_idle_add(
        [](gpointer) {
          updatePending_ = false;
          guarded("announcing new items", [] {
            for (GObject* provider : std::vector<GObject*>(providers_)) {
              Api::emitItemsUpdated(reinterpret_cast<typename Api::Provider*>(provider));
            }
          });
          return G_SOURCE_REMOVE;
        },
        nullptr);
  }

  static FileManagerItem itemOf(typename Api::FileInfo* file) {
    char* uri = Api::uri(file);
    FileManagerItem item{uri != nullptr ? uri : "", Api::isDirectory(file), std::nullopt};
    g_free(uri);
    return item;
  }

  static GList* items_(const std::optional<HostMenu>& menu, const char* kind) {
    if (!menu) return nullptr;
    GList* list = nullptr;
    int index = 0;
    for (const MenuItem& top : menu->menu.items) {
      const std::string name = std::string("Tarvine-") + kind + "-" + std::to_string(index++);
      typename Api::Item* item = convert(*menu, top, name);
      if (top.submenu) {
        typename Api::Menu* submenu = Api::newMenu();
        int child = 0;
        for (const MenuItem& entry : top.submenu->items) {
          const std::string childName = name + "-" + std::to_string(child++);
          // An entry that would look enabled and do nothing is better not shown.
          if (!entry.isSeparator && !entry.enabled && !Api::showsInsensitiveItems) continue;
          typename Api::Item* converted = entry.isSeparator ? Api::newSeparator(childName.c_str())
                                                            : convert(*menu, entry, childName);
          if (converted == nullptr) continue;
          Api::append(submenu, converted);
          g_object_unref(converted);
        }
        Api::setSubmenu(item, submenu);
        g_object_unref(submenu);
      }
      list = g_list_append(list, item);
    }
    return list;
  }

  // What an activated item delivers: the selector, with the selection of the
  // menu it came from, to the worker that made it.
  struct Delivery {
    std::shared_ptr<ExtensionWorker> worker;
    std::shared_ptr<const CapturedSelection> selection;
    Selector selector;
  };

  static typename Api::Item* convert(const HostMenu& menu, const MenuItem& entry,
                                     const std::string& name) {
    const std::string* icon = menu.imageFile(entry);
    typename Api::Item* item =
        Api::newItem(name.c_str(), HostExtension::titleShowingState(entry).c_str(),
                     icon != nullptr ? icon->c_str() : nullptr);
    g_object_set(item, "sensitive", entry.enabled ? TRUE : FALSE, nullptr);
    if (auto selector = HostExtension::deliveredSelector(entry)) {
      g_signal_connect_data(
          item, "activate", G_CALLBACK(+[](GObject*, gpointer data) {
            auto* delivery = static_cast<Delivery*>(data);
            guarded("delivering a command",
                    [&] { delivery->worker->perform(delivery->selection, delivery->selector); });
          }),
          new Delivery{worker_, menu.selection, *selector},
          [](gpointer data, GClosure*) { delete static_cast<Delivery*>(data); },
          static_cast<GConnectFlags>(0));
    }
    return item;
  }

  // Stopped at exit too, when the module's statics go: commands picked just
  // before the file manager quit are still written.
  static inline std::shared_ptr<ExtensionWorker> worker_;
  static inline GType type_ = 0;
  // Interface thread only.
  static inline std::vector<GObject*> providers_;
  static inline std::atomic<bool> updatePending_ = false;
};

// For APIs without separators.
template <class Item>
Item* noSeparator(const char*) {
  return nullptr;
}

}  // namespace tarvine

// The Api of a file manager whose extension library names its calls after one
// prefix, as Nautilus's, Nemo's and Caja's do (Nemo and Caja began as forks
// of Nautilus). The tooltip is the label: some of them require one.
#define TARVINE_PREFIXED_API(Api, prefix, Prefix, newSeparatorCall, showsInsensitive)              \
  struct Api {                                                                                     \
    using FileInfo = Prefix##FileInfo;                                                             \
    using Item = Prefix##MenuItem;                                                                 \
    using Menu = Prefix##Menu;                                                                     \
    static char* uri(FileInfo* file) { return prefix##_file_info_get_uri(file); }                  \
    static bool isDirectory(FileInfo* file) { return prefix##_file_info_is_directory(file); }      \
    static Item* newItem(const char* name, const char* label, const char* icon) {                  \
      return prefix##_menu_item_new(name, label, label, icon);                                     \
    }                                                                                              \
    static Item* newSeparator(const char* name) { return newSeparatorCall(name); }                 \
    static Menu* newMenu() { return prefix##_menu_new(); }                                         \
    static void append(Menu* menu, Item* item) { prefix##_menu_append_item(menu, item); }          \
    static void setSubmenu(Item* item, Menu* menu) { prefix##_menu_item_set_submenu(item, menu); } \
    static constexpr bool showsInsensitiveItems = showsInsensitive;                                \
    using Provider = Prefix##MenuProvider;                                                         \
    static void emitItemsUpdated(Provider* provider) {                                             \
      prefix##_menu_provider_emit_items_updated_signal(provider);                                  \
    }                                                                                              \
  }

// The three entry points a GTypeModule-loading file manager (Nautilus, Nemo,
// Caja) looks up by name: `prefix`_module_initialize, _shutdown, _list_types.
#define TARVINE_MODULE_ENTRY_POINTS(prefix, Module, typeName, providerInterface, initProvider) \
  extern "C" {                                                                                 \
  G_MODULE_EXPORT void prefix##_module_initialize(GTypeModule* module) {                       \
    Module::initialize(tarvine::HostExtension::registerProvider(                               \
        module, typeName, providerInterface, initProvider, Module::providerMade));             \
  }                                                                                            \
  G_MODULE_EXPORT void prefix##_module_shutdown(void) { Module::shutdown(); }                  \
  G_MODULE_EXPORT void prefix##_module_list_types(const GType** types, int* count) {           \
    Module::listTypes(types, count);                                                           \
  }                                                                                            \
  }
