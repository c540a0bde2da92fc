#pragma once

#include <gtk/gtk.h>

#include <memory>

#include "window/Folders.h"

// The Tarvine window's dialogs that act on no watched folder: each lives as
// long as its window, does its work in the background and says how it went.
// The Tarvine window follows what they change through the manifest.
namespace tarvine::window {

// The histories of folders no longer watched, with the space each takes:
// one to delete (asked first, as `tarvine forget`) or to watch its folder
// again (as `tarvine watch`, which goes on with the history).
void showKeptHistories(GtkWindow* parent, GApplication* application,
                       std::shared_ptr<Folders> folders);

// A mirrored history brought back into an empty or new folder (as `tarvine
// adopt`): the mirror's address typed or a disk's folder chosen, the folder
// typed or chosen, and the version (the newest unless one is given).
void showBringBack(GtkWindow* parent, GApplication* application, std::shared_ptr<Folders> folders);

}  // namespace tarvine::window
