// The Nemo 5.6 module: Nemo's calls, named for the shared module. Nemo shows
// separators and the BrandGlyph icon.

#include <libnemo-extension/nemo-extension-types.h>
#include <libnemo-extension/nemo-file-info.h>
#include <libnemo-extension/nemo-menu-provider.h>
#include <libnemo-extension/nemo-menu.h>

#include "hosts/glib/GLibModule.h"

namespace {

TARVINE_PREFIXED_API(NemoApi, nemo, Nemo, nemo_menu_item_new_separator, true);
using Module = tarvine::GLibModule<NemoApi>;

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<NemoMenuProviderIface*>(iface);
  provider->get_file_items = Module::selectionItemsFor<NemoMenuProvider, GtkWidget>;
  provider->get_background_items = Module::folderItemsFor<NemoMenuProvider, GtkWidget>;
}

}  // namespace

TARVINE_MODULE_ENTRY_POINTS(nemo, Module, "TarvineNemoMenuProvider", NEMO_TYPE_MENU_PROVIDER,
                            initProvider)
