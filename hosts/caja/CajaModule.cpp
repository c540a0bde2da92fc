// The Caja 1.26 module. Caja shows the BrandGlyph icon and disabled entries
// as such, but has no separators; its toolbar gets nothing.

#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>

#include "hosts/glib/GLibModule.h"

namespace {

constexpr tarvine::GLibMenuApi<CajaFileInfo, CajaMenuItem, CajaMenu, CajaMenuProvider,
                               CajaMenuProviderIface>
    kCaja{caja_file_info_get_uri,
          caja_file_info_is_directory,
          caja_menu_item_new,
          nullptr,
          caja_menu_new,
          caja_menu_append_item,
          caja_menu_item_set_submenu,
          caja_menu_provider_emit_items_updated_signal,
          true,
          "TarvineCajaMenuProvider",
          caja_menu_provider_get_type};
using Module = tarvine::GLibModule<kCaja>;

}  // namespace

// Caja finds these by name.
extern "C" {
G_MODULE_EXPORT void caja_module_initialize(GTypeModule* m) { Module::initialize(m); }
G_MODULE_EXPORT void caja_module_shutdown(void) { Module::shutdown(); }
G_MODULE_EXPORT void caja_module_list_types(const GType** t, int* n) { Module::listTypes(t, n); }
}
