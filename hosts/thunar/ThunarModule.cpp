// The Thunar 4.18 module: Thunar's calls, named for the shared module. Thunar
// shows the BrandGlyph icon but has no separators, and shows every entry as
// enabled: the disabled ones are left out.

#include <gtk/gtk.h>

// Not every thunarx header declares C linkage (the provider plugin's does not).
extern "C" {
#include <thunarx/thunarx.h>
}

#include "hosts/glib/GLibModule.h"

namespace {

struct ThunarApi {
  using FileInfo = ThunarxFileInfo;
  using Item = ThunarxMenuItem;
  using Menu = ThunarxMenu;
  static char* uri(FileInfo* file) { return thunarx_file_info_get_uri(file); }
  static bool isDirectory(FileInfo* file) { return thunarx_file_info_is_directory(file); }
  static Item* newItem(const char* name, const char* label, const char* icon) {
    return thunarx_menu_item_new(name, label, label, icon);
  }
  static Item* newSeparator(const char*) { return nullptr; }
  static Menu* newMenu() { return thunarx_menu_new(); }
  static void append(Menu* menu, Item* item) { thunarx_menu_append_item(menu, item); }
  static void setSubmenu(Item* item, Menu* menu) { thunarx_menu_item_set_menu(item, menu); }
  // Thunar reads an item's "sensitive" but never applies it.
  static constexpr bool showsInsensitiveItems = false;
  // Thunar asks its providers afresh for every menu and has no such signal.
  using Provider = ThunarxMenuProvider;
  static void emitItemsUpdated(Provider*) {}
};
using Module = tarvine::GLibModule<ThunarApi>;

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<ThunarxMenuProviderIface*>(iface);
  provider->get_file_menu_items = Module::selectionItemsFor<ThunarxMenuProvider, GtkWidget>;
  provider->get_folder_menu_items = Module::folderItemsFor<ThunarxMenuProvider, GtkWidget>;
}

}  // namespace

// Thunar finds these by name; no header declares them.
extern "C" {

G_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin);
G_MODULE_EXPORT void thunar_extension_shutdown(void);
G_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* count);

void thunar_extension_initialize(ThunarxProviderPlugin* plugin) {
  // The extension lives for the process: the plugin must never be unloaded.
  thunarx_provider_plugin_set_resident(plugin, TRUE);
  GTypeInfo info{};
  info.class_size = sizeof(GObjectClass);
  info.instance_size = sizeof(GObject);
  info.instance_init = Module::providerMade;
  const GType type = thunarx_provider_plugin_register_type(
      plugin, G_TYPE_OBJECT, "TarvineThunarMenuProvider", &info, static_cast<GTypeFlags>(0));
  const GInterfaceInfo provider{initProvider, nullptr, nullptr};
  thunarx_provider_plugin_add_interface(plugin, type, THUNARX_TYPE_MENU_PROVIDER, &provider);
  Module::initialize(type);
}

void thunar_extension_shutdown(void) { Module::shutdown(); }

void thunar_extension_list_types(const GType** types, gint* count) {
  Module::listTypes(types, count);
}

}  // extern "C"
