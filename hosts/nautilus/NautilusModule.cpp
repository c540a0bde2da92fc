// The Nautilus 43 module: a menu provider that hands Nautilus's selection to
// the shared host extension and turns its menu into Nautilus menu items.

#include <gio/gio.h>
#include <glib-object.h>

// The header declares the module's entry points outside any extern "C" block.
extern "C" {
#include <nautilus-extension.h>
}

#include <memory>
#include <string>
#include <vector>

#include "hosts/glib/HostExtension.h"

namespace {

using tarvine::HostExtension;
using tarvine::HostMenu;

HostExtension* extension = nullptr;
GType providerType = 0;

// What an activated item delivers: the selector, with the selection of the
// menu it came from.
struct Delivery {
  std::shared_ptr<const tarvine::CapturedSelection> selection;
  tarvine::Selector selector;
};

tarvine::FileManagerItem itemOf(NautilusFileInfo* file) {
  char* uri = nautilus_file_info_get_uri(file);
  tarvine::FileManagerItem item{uri != nullptr ? uri : "",
                                nautilus_file_info_is_directory(file) != FALSE};
  g_free(uri);
  return item;
}

// Nautilus has no separators, check marks or icons in extension menus: the
// separators are left out and the enable entry's state shows in its title.
NautilusMenuItem* itemFor(const tarvine::MenuItem& entry, const std::string& name,
                          const std::shared_ptr<const tarvine::CapturedSelection>& selection) {
  NautilusMenuItem* item = nautilus_menu_item_new(
      name.c_str(), HostExtension::titleShowingState(entry).c_str(), nullptr, nullptr);
  g_object_set(item, "sensitive", entry.enabled ? TRUE : FALSE, nullptr);
  if (auto selector = HostExtension::deliveredSelector(entry)) {
    g_signal_connect_data(
        item, "activate", G_CALLBACK(+[](NautilusMenuItem*, gpointer data) {
          auto* delivery = static_cast<Delivery*>(data);
          if (extension != nullptr) extension->perform(*delivery->selection, delivery->selector);
        }),
        new Delivery{selection, *selector},
        [](gpointer data, GClosure*) { delete static_cast<Delivery*>(data); },
        static_cast<GConnectFlags>(0));
  }
  return item;
}

// Nautilus makes one action per item, named after the item, and builds the
// selection's and the background's menus together: the names must differ
// between the two (`kind`), or one menu's sensitivity ends up on the other's
// entries. Letters, digits and dashes only, as action names allow.
GList* itemsFor(const std::optional<HostMenu>& menu, const char* kind) {
  if (!menu) return nullptr;
  GList* items = nullptr;
  int index = 0;
  for (const tarvine::MenuItem& top : menu->menu.items) {
    const std::string name = std::string("Tarvine-") + kind + "-" + std::to_string(index++);
    NautilusMenuItem* item = itemFor(top, name, menu->selection);
    if (top.submenu) {
      NautilusMenu* submenu = nautilus_menu_new();
      int subindex = 0;
      for (const tarvine::MenuItem& entry : top.submenu->items) {
        if (entry.isSeparator) continue;
        NautilusMenuItem* child =
            itemFor(entry, name + "-" + std::to_string(subindex++), menu->selection);
        nautilus_menu_append_item(submenu, child);
        g_object_unref(child);
      }
      nautilus_menu_item_set_submenu(item, submenu);
      g_object_unref(submenu);
    }
    items = g_list_append(items, item);
  }
  return items;
}

GList* getFileItems(NautilusMenuProvider*, GList* files) {
  if (extension == nullptr) return nullptr;
  std::vector<tarvine::FileManagerItem> items;
  for (GList* file = files; file != nullptr; file = file->next) {
    items.push_back(itemOf(NAUTILUS_FILE_INFO(file->data)));
  }
  return itemsFor(extension->menuForSelection(items), "items");
}

GList* getBackgroundItems(NautilusMenuProvider*, NautilusFileInfo* folder) {
  if (extension == nullptr || folder == nullptr) return nullptr;
  return itemsFor(extension->menuForFolder(itemOf(folder)), "folder");
}

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<NautilusMenuProviderInterface*>(iface);
  provider->get_file_items = getFileItems;
  provider->get_background_items = getBackgroundItems;
}

}  // namespace

extern "C" {

G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* module) {
  static const GTypeInfo info = {sizeof(GObjectClass), nullptr, nullptr, nullptr, nullptr, nullptr,
                                 sizeof(GObject),      0,       nullptr, nullptr};
  providerType = g_type_module_register_type(module, G_TYPE_OBJECT, "TarvineMenuProvider", &info,
                                             static_cast<GTypeFlags>(0));
  static const GInterfaceInfo provider = {initProvider, nullptr, nullptr};
  g_type_module_add_interface(module, providerType, NAUTILUS_TYPE_MENU_PROVIDER, &provider);
  if (extension == nullptr) {
    extension = new HostExtension(HostExtension::bundlePath(TARVINE_INSTALLED_BUNDLE));
  }
}

G_MODULE_EXPORT void nautilus_module_shutdown(void) {
  delete extension;
  extension = nullptr;
}

G_MODULE_EXPORT void nautilus_module_list_types(const GType** types, int* count) {
  *types = &providerType;
  *count = 1;
}

}  // extern "C"
