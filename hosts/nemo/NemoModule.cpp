// The Nemo 5.6 module. Nemo shows separators, the BrandGlyph icon and
// disabled entries as such.

#include <libnemo-extension/nemo-extension-types.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>

#include "hosts/glib/GLibModule.h"

namespace {

constexpr tarvine::GLibMenuApi<NemoFileInfo, NemoMenuItem, NemoMenu, NemoMenuProvider> kNemo{
    nemo_file_info_get_uri,
    nemo_file_info_is_directory,
    nemo_menu_item_new,
    nemo_menu_item_new_separator,
    nemo_menu_new,
    nemo_menu_append_item,
    nemo_menu_item_set_submenu,
    nemo_menu_provider_emit_items_updated_signal,
    true};
using Module = tarvine::GLibModule<kNemo>;

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<NemoMenuProviderIface*>(iface);
  provider->get_file_items = Module::selectionItemsFor<NemoMenuProvider, GtkWidget>;
  provider->get_background_items = Module::folderItemsFor<NemoMenuProvider, GtkWidget>;
}

}  // namespace

// Nemo finds these by name.
extern "C" {

G_MODULE_EXPORT void nemo_module_initialize(GTypeModule* module) {
  Module::initialize(module, "TarvineNemoMenuProvider", NEMO_TYPE_MENU_PROVIDER, initProvider);
}

G_MODULE_EXPORT void nemo_module_shutdown(void) { Module::shutdown(); }

G_MODULE_EXPORT void nemo_module_list_types(const GType** types, int* count) {
  Module::listTypes(types, count);
}

}  // extern "C"
