// The Caja 1.26 module: Caja's calls, named for the shared module. Caja shows
// the BrandGlyph icon but has no separators; its toolbar gets nothing, as the
// extension gives the toolbar kind nothing.

#include <libcaja-extension/caja-extension-types.h>
#include <libcaja-extension/caja-file-info.h>
#include <libcaja-extension/caja-menu-provider.h>
#include <libcaja-extension/caja-menu.h>

#include "hosts/glib/GLibModule.h"

namespace {

TARVINE_PREFIXED_API(CajaApi, caja, Caja, tarvine::noSeparator<CajaMenuItem>, true);
using Module = tarvine::GLibModule<CajaApi>;

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<CajaMenuProviderIface*>(iface);
  provider->get_file_items = Module::selectionItemsFor<CajaMenuProvider, GtkWidget>;
  provider->get_background_items = Module::folderItemsFor<CajaMenuProvider, GtkWidget>;
  provider->get_toolbar_items = [](CajaMenuProvider*, GtkWidget*, CajaFileInfo*) -> GList* {
    return nullptr;
  };
}

}  // namespace

TARVINE_MODULE_ENTRY_POINTS(caja, Module, "TarvineCajaMenuProvider", CAJA_TYPE_MENU_PROVIDER,
                            initProvider)
