// The Caja 1.26 module. Caja shows the BrandGlyph icon and disabled entries
// as such, but has no separators; its toolbar gets nothing, as the extension
// gives the toolbar kind nothing.

#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>

#include "hosts/glib/GLibModule.h"

namespace {

constexpr tarvine::GLibMenuApi<CajaFileInfo, CajaMenuItem, CajaMenu, CajaMenuProvider> kCaja{
    caja_file_info_get_uri,
    caja_file_info_is_directory,
    caja_menu_item_new,
    nullptr,
    caja_menu_new,
    caja_menu_append_item,
    caja_menu_item_set_submenu,
    caja_menu_provider_emit_items_updated_signal,
    true};
using Module = tarvine::GLibModule<kCaja>;

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<CajaMenuProviderIface*>(iface);
  provider->get_file_items = Module::selectionItemsFor<CajaMenuProvider, GtkWidget>;
  provider->get_background_items = Module::folderItemsFor<CajaMenuProvider, GtkWidget>;
  provider->get_toolbar_items = [](CajaMenuProvider*, GtkWidget*, CajaFileInfo*) -> GList* {
    return nullptr;
  };
}

}  // namespace

// Caja finds these by name.
extern "C" {

G_MODULE_EXPORT void caja_module_initialize(GTypeModule* module) {
  Module::initialize(module, "TarvineCajaMenuProvider", CAJA_TYPE_MENU_PROVIDER, initProvider);
}

G_MODULE_EXPORT void caja_module_shutdown(void) { Module::shutdown(); }

G_MODULE_EXPORT void caja_module_list_types(const GType** types, int* count) {
  Module::listTypes(types, count);
}

}  // extern "C"
