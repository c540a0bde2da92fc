// tarvine-window: the Tarvine window, the watched folders and their settings.
// One process shows it: a second start brings the first one's window to the
// front, with the folder it names selected. The running application starts it
// when it is activated from its desktop entry, and `tarvine` with no command
// does; a notification of a folder's problem starts it with that folder.

#include <glib-unix.h>
#include <glib/gi18n.h>
#include <gtk/gtk.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "roots/Keeper.h"
#include "roots/Language.h"
#include "shared/Identifiers.h"
#include "window/MainWindow.h"
#include "window/Widgets.h"

namespace {

using tarvine::window::MainWindow;

struct Shown {
  std::unique_ptr<tarvine::roots::Keeper> keeper;
  std::string group;
  std::shared_ptr<MainWindow> window;

  void present(GtkApplication* application) {
    if (!window) window = MainWindow::create(application, *keeper, group);
    window->present();
  }
};

}  // namespace

int main(int argc, char** argv) {
  tarvine::roots::language::useUserLanguage();
  Shown shown;
  const char* folder = nullptr;
  shown.group = std::string(tarvine::Identifiers::defaultAppGroupIdentifier);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << _(
          "usage: tarvine-window [--group GROUP] [FOLDER]\n"
          "Shows the watched folders and their settings in a window, FOLDER selected.\n");
      return 0;
    }
    if (std::strcmp(argv[i], "--group") == 0 && i + 1 < argc) {
      shown.group = argv[++i];
    } else if (argv[i][0] != '-' && folder == nullptr) {
      folder = argv[i];
    } else {
      std::cerr << "tarvine-window: " << _("unknown argument") << " " << argv[i] << "\n";
      return 2;
    }
  }
  shown.keeper =
      std::make_unique<tarvine::roots::Keeper>(tarvine::roots::Container::forGroup(shown.group));
  g_set_prgname("tarvine-window");
  g_set_application_name("Tarvine");
  if (!tarvine::window::openDisplayWithoutOpenGl()) {
    std::cerr << "tarvine-window: "
              << _("cannot open the display; the window needs a desktop session") << "\n";
    return 1;
  }
  GtkApplication* application =
      gtk_application_new("com.quillfen.tarvine.Window", G_APPLICATION_HANDLES_OPEN);
  g_signal_connect(application, "activate", G_CALLBACK(+[](GApplication* app, gpointer data) {
                     static_cast<Shown*>(data)->present(GTK_APPLICATION(app));
                   }),
                   &shown);
  // A folder given, to this process or to a second start that hands it over.
  g_signal_connect(
      application, "open",
      G_CALLBACK(+[](GApplication* app, GFile** files, gint count, gchar*, gpointer data) {
        auto* shown = static_cast<Shown*>(data);
        shown->present(GTK_APPLICATION(app));
        if (count < 1) return;
        if (char* path = g_file_get_path(files[0])) {
          shown->window->select(path);
          g_free(path);
        }
      }),
      &shown);
  g_signal_connect(application, "shutdown", G_CALLBACK(+[](GApplication*, gpointer data) {
                     static_cast<Shown*>(data)->window.reset();
                   }),
                   &shown);
  for (int signal : {SIGINT, SIGTERM}) {
    g_unix_signal_add(
        signal,
        [](gpointer app) -> gboolean {
          g_application_quit(G_APPLICATION(app));
          return G_SOURCE_REMOVE;
        },
        application);
  }
  char* passed[] = {argv[0], const_cast<char*>(folder), nullptr};
  const int status =
      g_application_run(G_APPLICATION(application), folder != nullptr ? 2 : 1, passed);
  g_object_unref(application);
  return status;
}
