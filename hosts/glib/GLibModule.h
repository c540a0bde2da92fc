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

// A GLib file manager's extension library, as the shared module uses it. Every
// such library has the same shape (file infos with a URI; items with a name,
// a label, a tooltip and an icon name, a "sensitive" property, a submenu and
// an "activate" signal), so each module fills one in with its own functions.
// `InterfaceType` is the menu-provider interface's struct, whose functions the
// shared module fills in.
template <class FileInfoType, class ItemType, class MenuType, class ProviderType,
          class InterfaceType>
struct GLibMenuApi {
  using FileInfo = FileInfoType;
  using Item = ItemType;
  using Menu = MenuType;
  using Provider = ProviderType;
  using Interface = InterfaceType;

  char* (*uri)(FileInfo*);
  gboolean (*isDirectory)(FileInfo*);
  Item* (*newItem)(const char* name, const char* label, const char* tip, const char* icon);
  // Null where the file manager shows no separators.
  Item* (*newSeparator)(const char* name);
  Menu* (*newMenu)();
  void (*append)(Menu*, Item*);
  void (*setSubmenu)(Item*, Menu*);
  // Null where the file manager asks afresh for every menu.
  void (*emitItemsUpdated)(Provider*);
  // False where the file manager shows every entry as enabled: the disabled
  // ones are then left out.
  bool showsInsensitiveItems;
  // Where the module is a GTypeModule (Nautilus, Nemo, Caja): its provider
  // type's name, and the menu-provider interface it implements.
  const char* providerTypeName = nullptr;
  GType (*menuProviderInterface)() = nullptr;
};

// Registers a plain GObject type named `name` in `module` that implements the
// file manager's menu-provider interface with `initInterface`, as Nautilus,
// Nemo and Caja load modules; each instance made is passed to `instanceMade`.
inline GType registerMenuProvider(GTypeModule* module, const char* name, GType menuProvider,
                                  GInterfaceInitFunc initInterface,
                                  GInstanceInitFunc instanceMade) {
  GTypeInfo info{};
  info.class_size = sizeof(GObjectClass);
  info.instance_size = sizeof(GObject);
  info.instance_init = instanceMade;
  const GType type =
      g_type_module_register_type(module, G_TYPE_OBJECT, name, &info, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider{initInterface, nullptr, nullptr};
  g_type_module_add_interface(module, type, menuProvider, &provider);
  return type;
}

// Everything a GLib file manager's module does but naming its library's
// functions (`api`): the one extension of the process, the menu provider's two
// questions, and the conversion of the menu into the file manager's items.
// None of these file managers can show a check mark, so the enable entry's
// state shows in its title.
template <const auto& api>
class GLibModule {
  using Api = std::remove_cvref_t<decltype(api)>;
  using FileInfo = typename Api::FileInfo;
  using Item = typename Api::Item;
  using Menu = typename Api::Menu;

 public:
  // At the module's initialisation, with its provider type registered, the
  // extension's thread is started once. Nothing here touches a file or the
  // bus: the worker makes the extension on its own thread.
  static void initialize(GType providerType) {
    guarded(GuardedCall::module, [&] {
      // No type: another copy of this module registered it first (one
      // installed system-wide beside this one). The file manager unloads this
      // copy, so it must leave no thread running in it.
      if (providerType == 0) return;
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
  // The same, registering the provider type that `api` names in a GTypeModule.
  static void initialize(GTypeModule* module) {
    guarded(GuardedCall::module, [&] {
      initialize(registerMenuProvider(module, api.providerTypeName, api.menuProviderInterface(),
                                      &GLibModule::initProvider, &GLibModule::providerMade));
    });
  }
  // Carries out the commands already picked, then ends the thread. Items still
  // alive keep the worker object, which then does nothing.
  static void shutdown() {
    guarded(GuardedCall::module, [] {
      if (worker_ != nullptr) worker_->stop();
      worker_.reset();
    });
  }
  static void listTypes(const GType** types, int* count) {
    *types = &type_;
    *count = 1;
  }
  // Each provider the file manager makes, so that it can be told when its
  // items change; the type's instance initialiser.
  static void providerMade(GTypeInstance* instance, gpointer) {
    providers_.push_back(G_OBJECT(instance));
    g_object_weak_ref(
        G_OBJECT(instance), [](gpointer, GObject* gone) { std::erase(providers_, gone); }, nullptr);
  }

  // The menu for selected items (a list of file infos), and for the empty
  // space of a folder.
  static GList* selectionItems(GList* files) {
    return guarded(GuardedCall::fileManagerMenu, [&]() -> GList* {
      if (worker_ == nullptr) return nullptr;
      std::vector<FileManagerItem> items;
      items.reserve(g_list_length(files));
      for (GList* file = files; file != nullptr; file = file->next) {
        items.push_back(itemOf(static_cast<FileInfo*>(file->data)));
      }
      return convert(worker_->menuForSelection(std::move(items)), "");
    });
  }
  static GList* folderItems(FileInfo* folder) {
    return guarded(GuardedCall::fileManagerMenu, [&]() -> GList* {
      if (worker_ == nullptr || folder == nullptr) return nullptr;
      // Some file managers make one action per item name for the menus of a
      // selection and of a folder together: the names differ between the two.
      return convert(worker_->menuForFolder(itemOf(folder)), "folder::");
    });
  }

  // Fills in the menu-provider interface, whatever its file manager names its
  // functions and whether they are passed a window too. A toolbar menu, where
  // there is one, gets nothing, as the extension gives that kind nothing.
  static void initProvider(gpointer iface, gpointer) {
    auto* provider = static_cast<typename Api::Interface*>(iface);
    if constexpr (requires { provider->get_file_menu_items; }) {  // Thunar's names
      provider->get_file_menu_items = &GLibModule::selectionItemsFor;
      provider->get_folder_menu_items = &GLibModule::folderItemsFor;
    } else {
      provider->get_file_items = &GLibModule::selectionItemsFor;
      provider->get_background_items = &GLibModule::folderItemsFor;
    }
    if constexpr (requires { provider->get_toolbar_items; }) {
      provider->get_toolbar_items = [](auto*, auto*, auto*) -> GList* { return nullptr; };
    }
  }

 private:
  // The provider's callbacks: (provider, files) and (provider, folder), or
  // with the window too, as the GTK 3 file managers pass it.
  template <class Provider>
  static GList* selectionItemsFor(Provider*, GList* files) {
    return selectionItems(files);
  }
  template <class Provider, class Window>
  static GList* selectionItemsFor(Provider*, Window*, GList* files) {
    return selectionItems(files);
  }
  template <class Provider>
  static GList* folderItemsFor(Provider*, FileInfo* folder) {
    return folderItems(folder);
  }
  template <class Provider, class Window>
  static GList* folderItemsFor(Provider*, Window*, FileInfo* folder) {
    return folderItems(folder);
  }

  // Nothing may be thrown into the file manager's C code: a failure is a menu
  // not shown or a command dropped, and is said in the log. The log is the
  // extension's, on the worker: this thread only counts the failure there.
  // Without a worker (making it failed) there is no extension and so no log
  // to say it in; the file manager then shows no History.
  template <class Body>
  static auto guarded(GuardedCall call, Body body) noexcept -> decltype(body()) {
    try {
      return body();
    } catch (...) {
      if (worker_ != nullptr) worker_->failed(call);
      if constexpr (!std::is_void_v<decltype(body())>) return {};
    }
  }

  // On the worker thread: the file manager hears of it on its own main loop,
  // once however often it is said before that runs.
  static void itemsChanged() {
    if (api.emitItemsUpdated == nullptr || updatePending_.exchange(true)) return;
    g_idle_add(
        [](gpointer) {
          updatePending_ = false;
          guarded(GuardedCall::changeNotice, [] {
            for (GObject* provider : std::vector<GObject*>(providers_)) {
              api.emitItemsUpdated(reinterpret_cast<typename Api::Provider*>(provider));
            }
          });
          return G_SOURCE_REMOVE;
        },
        nullptr);
  }

  static FileManagerItem itemOf(FileInfo* file) {
    char* uri = api.uri(file);
    FileManagerItem item{uri != nullptr ? uri : "", api.isDirectory(file) != FALSE, std::nullopt};
    g_free(uri);
    return item;
  }

  static GList* convert(const std::optional<HostMenu>& menu, std::string_view scope) {
    if (!menu) return nullptr;
    GList* list = nullptr;
    for (const MenuItem& top : menu->menu.items) {
      Item* item = convert(*menu, top, HostExtension::itemName(top, scope, 0));
      if (top.submenu) {
        Menu* submenu = api.newMenu();
        std::size_t position = 0;
        for (const MenuItem& entry : top.submenu->items) {
          const std::string name = HostExtension::itemName(entry, scope, ++position);
          // An entry that would look enabled and do nothing is better not shown.
          if (!entry.isSeparator && !entry.enabled && !api.showsInsensitiveItems) continue;
          if (entry.isSeparator && api.newSeparator == nullptr) continue;
          Item* converted =
              entry.isSeparator ? api.newSeparator(name.c_str()) : convert(*menu, entry, name);
          api.append(submenu, converted);
          g_object_unref(converted);
        }
        api.setSubmenu(item, submenu);
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

  static Item* convert(const HostMenu& menu, const MenuItem& entry, const std::string& name) {
    const std::string* icon = menu.imageFile(entry);
    const std::string label = HostExtension::titleShowingState(entry);
    // The tooltip is the label: some file managers require one.
    Item* item = api.newItem(name.c_str(), label.c_str(), label.c_str(),
                             icon != nullptr ? icon->c_str() : nullptr);
    g_object_set(item, "sensitive", entry.enabled ? TRUE : FALSE, nullptr);
    if (auto selector = HostExtension::deliveredSelector(entry)) {
      g_signal_connect_data(
          item, "activate", G_CALLBACK(+[](GObject*, gpointer data) {
            auto* delivery = static_cast<Delivery*>(data);
            guarded(GuardedCall::fileManagerPick,
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

}  // namespace tarvine
