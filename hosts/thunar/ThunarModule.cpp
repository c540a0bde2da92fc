// The Thunar 4.18 module. Thunar shows the BrandGlyph icon but has no
// separators, and reads an item's "sensitive" without applying it: the
// disabled entries are left out. It asks its providers afresh for every menu
// and has no items-updated signal.

#include <gtk/gtk.h>

// Not every thunarx header declares C linkage (the provider plugin's does not).
extern "C" {
#include <thunarx/thunarx.h>
}

#include "hosts/glib/GLibModule.h"

namespace {

constexpr tarvine::GLibMenuApi<ThunarxFileInfo, ThunarxMenuItem, ThunarxMenu, ThunarxMenuProvider,
                               ThunarxMenuProviderIface>
    kThunar{thunarx_file_info_get_uri,
            thunarx_file_info_is_directory,
            thunarx_menu_item_new,
            nullptr,
            thunarx_menu_new,
            thunarx_menu_append_item,
            thunarx_menu_item_set_menu,
            nullptr,
            false};
using Module = tarvine::GLibModule<kThunar>;

struct TarvineThunarProvider {
  GObject parent;
};
struct TarvineThunarProviderClass {
  GObjectClass parent;
};

// THUNARX_DEFINE_TYPE_WITH_CODE, with its flags typed for C++.
THUNARX_DEFINE_TYPE_EXTENDED(TarvineThunarProvider, tarvine_thunar_provider, G_TYPE_OBJECT,
                             GTypeFlags{},
                             THUNARX_IMPLEMENT_INTERFACE(THUNARX_TYPE_MENU_PROVIDER,
                                                         Module::initProvider))

void tarvine_thunar_provider_class_init(TarvineThunarProviderClass*) {}

void tarvine_thunar_provider_init(TarvineThunarProvider* provider) {
  Module::providerMade(reinterpret_cast<GTypeInstance*>(provider), nullptr);
}

}  // namespace

// Thunar finds these by name; no header declares them.
extern "C" {

G_MODULE_EXPORT void thunar_extension_initialize(ThunarxProviderPlugin* plugin);
G_MODULE_EXPORT void thunar_extension_shutdown(void);
G_MODULE_EXPORT void thunar_extension_list_types(const GType** types, gint* count);

void thunar_extension_initialize(ThunarxProviderPlugin* plugin) {
  // As Thunar's own plugins do: a Thunar older than the library built against is refused.
  if (const gchar* mismatch = thunarx_check_version(THUNARX_MAJOR_VERSION, THUNARX_MINOR_VERSION,
                                                    THUNARX_MICRO_VERSION)) {
    g_warning("Tarvine: version mismatch: %s", mismatch);
    return;
  }
  // The extension lives for the process: the plugin must never be unloaded.
  thunarx_provider_plugin_set_resident(plugin, TRUE);
  tarvine_thunar_provider_register_type(plugin);
  Module::initialize(tarvine_thunar_provider_get_type());
}

void thunar_extension_shutdown(void) { Module::shutdown(); }

void thunar_extension_list_types(const GType** types, gint* count) {
  Module::listTypes(types, count);
}

}  // extern "C"
