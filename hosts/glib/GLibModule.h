#pragma once

#include <glib-object.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

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
//
// None of them can show a check mark, so the enable entry's state shows in
// its title. Item names differ between kinds: some file managers make one
// action per name for the menus of a selection and of a folder together.
template <class Api>
class GLibModule {
 public:
  // At the module's initialisation: its provider type, registered by the
  // module, and the extension, made once.
  static void initialize(GType providerType) {
    type_ = providerType;
    if (extension_ == nullptr) {
      extension_ = new HostExtension(HostExtension::bundlePath(TARVINE_INSTALLED_BUNDLE));
    }
  }
  static void shutdown() {
    delete extension_;
    extension_ = nullptr;
  }
  static void listTypes(const GType** types, int* count) {
    *types = &type_;
    *count = 1;
  }

  // The menu for selected items (a list of file infos), and for the empty
  // space of a folder.
  static GList* selectionItems(GList* files) {
    if (extension_ == nullptr) return nullptr;
    std::vector<FileManagerItem> items;
    for (GList* file = files; file != nullptr; file = file->next) {
      items.push_back(itemOf(static_cast<typename Api::FileInfo*>(file->data)));
    }
    return items_(*extension_, extension_->menuForSelection(items), "items");
  }
  static GList* folderItems(typename Api::FileInfo* folder) {
    if (extension_ == nullptr || folder == nullptr) return nullptr;
    return items_(*extension_, extension_->menuForFolder(itemOf(folder)), "folder");
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
  static FileManagerItem itemOf(typename Api::FileInfo* file) {
    char* uri = Api::uri(file);
    FileManagerItem item{uri != nullptr ? uri : "", Api::isDirectory(file)};
    g_free(uri);
    return item;
  }

  static GList* items_(HostExtension& extension, const std::optional<HostMenu>& menu,
                       const char* kind) {
    if (!menu) return nullptr;
    GList* list = nullptr;
    int index = 0;
    for (const MenuItem& top : menu->menu.items) {
      const std::string name = std::string("Tarvine-") + kind + "-" + std::to_string(index++);
      typename Api::Item* item = convert(extension, top, name, menu->selection);
      if (top.submenu) {
        typename Api::Menu* submenu = Api::newMenu();
        int child = 0;
        for (const MenuItem& entry : top.submenu->items) {
          const std::string childName = name + "-" + std::to_string(child++);
          // An entry that would look enabled and do nothing is better not shown.
          if (!entry.isSeparator && !entry.enabled && !Api::showsInsensitiveItems) continue;
          typename Api::Item* converted =
              entry.isSeparator ? Api::newSeparator(childName.c_str())
                                : convert(extension, entry, childName, menu->selection);
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

 private:
  // What an activated item delivers: the selector, with the selection of the
  // menu it came from.
  struct Delivery {
    HostExtension& extension;
    std::shared_ptr<const CapturedSelection> selection;
    Selector selector;
  };

  static typename Api::Item* convert(HostExtension& extension, const MenuItem& entry,
                                     const std::string& name,
                                     const std::shared_ptr<const CapturedSelection>& selection) {
    const std::optional<std::string> icon = extension.imagePath(entry);
    typename Api::Item* item =
        Api::newItem(name.c_str(), HostExtension::titleShowingState(entry).c_str(),
                     icon ? icon->c_str() : nullptr);
    g_object_set(item, "sensitive", entry.enabled ? TRUE : FALSE, nullptr);
    if (auto selector = HostExtension::deliveredSelector(entry)) {
      g_signal_connect_data(
          item, "activate", G_CALLBACK(+[](GObject*, gpointer data) {
            auto* delivery = static_cast<Delivery*>(data);
            delivery->extension.perform(*delivery->selection, delivery->selector);
          }),
          new Delivery{extension, selection, *selector},
          [](gpointer data, GClosure*) { delete static_cast<Delivery*>(data); },
          static_cast<GConnectFlags>(0));
    }
    return item;
  }

  static inline HostExtension* extension_ = nullptr;
  static inline GType type_ = 0;
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
  }

// The three entry points a GTypeModule-loading file manager (Nautilus, Nemo,
// Caja) looks up by name: `prefix`_module_initialize, _shutdown, _list_types.
#define TARVINE_MODULE_ENTRY_POINTS(prefix, Module, typeName, providerInterface, initProvider)     \
  extern "C" {                                                                                     \
  G_MODULE_EXPORT void prefix##_module_initialize(GTypeModule* module) {                           \
    Module::initialize(tarvine::HostExtension::registerProvider(module, typeName,                  \
                                                                providerInterface, initProvider)); \
  }                                                                                                \
  G_MODULE_EXPORT void prefix##_module_shutdown(void) { Module::shutdown(); }                      \
  G_MODULE_EXPORT void prefix##_module_list_types(const GType** types, int* count) {               \
    Module::listTypes(types, count);                                                               \
  }                                                                                                \
  }
