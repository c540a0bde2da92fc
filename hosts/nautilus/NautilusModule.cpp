// The Nautilus 43 module. Nautilus 43 shows no separators or icons in
// extension menus, but shows disabled entries as such.

#include <gio/gio.h>
#include <glib-object.h>

// The header declares the module's entry points outside any extern "C" block.
extern "C" {
#include <nautilus-extension.h>
}

#include "hosts/glib/GLibModule.h"

namespace {

constexpr tarvine::GLibMenuApi<NautilusFileInfo, NautilusMenuItem, NautilusMenu,
                               NautilusMenuProvider, NautilusMenuProviderInterface>
    kNautilus{nautilus_file_info_get_uri,
              nautilus_file_info_is_directory,
              nautilus_menu_item_new,
              nullptr,
              nautilus_menu_new,
              nautilus_menu_append_item,
              nautilus_menu_item_set_submenu,
              nautilus_menu_provider_emit_items_updated_signal,
              true,
              "TarvineNautilusMenuProvider",
              nautilus_menu_provider_get_type};
using Module = tarvine::GLibModule<kNautilus>;

}  // namespace

// Nautilus finds these by name.
extern "C" {
G_MODULE_EXPORT void nautilus_module_initialize(GTypeModule* m) { Module::initialize(m); }
G_MODULE_EXPORT void nautilus_module_shutdown(void) { Module::shutdown(); }
G_MODULE_EXPORT void nautilus_module_list_types(const GType** t, int* n) {
  Module::listTypes(t, n);
}
}
