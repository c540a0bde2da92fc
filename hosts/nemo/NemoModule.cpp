// The Nemo 5.6 module. Nemo shows separators, the BrandGlyph icon and
// disabled entries as such.

#include <libnemo-extension/nemo-extension-types.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>

#include "hosts/glib/GLibModule.h"

namespace {

constexpr tarvine::GLibMenuApi<NemoFileInfo, NemoMenuItem, NemoMenu, NemoMenuProvider,
                               NemoMenuProviderIface>
    kNemo{nemo_file_info_get_uri,
          nemo_file_info_is_directory,
          nemo_menu_item_new,
          nemo_menu_item_new_separator,
          nemo_menu_new,
          nemo_menu_append_item,
          nemo_menu_item_set_submenu,
          nemo_menu_provider_emit_items_updated_signal,
          true,
          "TarvineNemoMenuProvider",
          nemo_menu_provider_get_type};
using Module = tarvine::GLibModule<kNemo>;

}  // namespace

// Nemo finds these by name.
extern "C" {
G_MODULE_EXPORT void nemo_module_initialize(GTypeModule* m) { Module::initialize(m); }
G_MODULE_EXPORT void nemo_module_shutdown(void) { Module::shutdown(); }
G_MODULE_EXPORT void nemo_module_list_types(const GType** t, int* n) { Module::listTypes(t, n); }
}
