// The Nautilus 43 module: Nautilus's calls, named for the shared module.
// Nautilus 43 shows no separators or icons in extension menus.

#include <gio/gio.h>
#include <glib-object.h>

// The header declares the module's entry points outside any extern "C" block.
extern "C" {
#include <nautilus-extension.h>
}

#include "hosts/glib/GLibModule.h"

namespace {

TARVINE_PREFIXED_API(NautilusApi, nautilus, Nautilus, tarvine::noSeparator<NautilusMenuItem>, true);
using Module = tarvine::GLibModule<NautilusApi>;

void initProvider(gpointer iface, gpointer) {
  auto* provider = static_cast<NautilusMenuProviderInterface*>(iface);
  provider->get_file_items = [](NautilusMenuProvider*, GList* files) {
    return Module::selectionItems(files);
  };
  provider->get_background_items = [](NautilusMenuProvider*, NautilusFileInfo* folder) {
    return Module::folderItems(folder);
  };
}

}  // namespace

TARVINE_MODULE_ENTRY_POINTS(nautilus, Module, "TarvineNautilusMenuProvider",
                            NAUTILUS_TYPE_MENU_PROVIDER, initProvider)
