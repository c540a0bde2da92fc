// tarvine-history: the history window of a file or folder. One process shows
// every window, one per target: a second start hands its paths to the first
// over the session bus, which brings an open window to the front rather than
// opening another.

#include <glib-unix.h>
#include <glib/gi18n.h>
#include <gtk/gtk.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "roots/Keeper.h"
#include "roots/Language.h"
#include "shared/Identifiers.h"
#include "window/HistoryWindow.h"
#include "window/Widgets.h"

namespace {

using tarvine::window::HistoryWindow;

// The usage, in the user's language once the text domain is bound.
constexpr const char* kUsage =
    N_("usage: tarvine-history [--group GROUP] PATH...\n"
       "Shows the versions of each PATH (a file or folder in a watched folder) in a window.\n");

struct Windows {
  std::unique_ptr<tarvine::roots::Keeper> keeper;
  std::map<std::string, std::shared_ptr<HistoryWindow>> open;
  // Where opened versions are copied; removed when the application ends.
  std::shared_ptr<std::string> copies = std::make_shared<std::string>();
};

void show(GtkApplication* application, Windows& windows, const std::string& target) {
  auto found = windows.open.find(target);
  if (found != windows.open.end()) {
    found->second->present();
    return;
  }
  auto window = HistoryWindow::create(application, *windows.keeper, target, windows.copies);
  windows.open[target] = window;
  struct Closed {
    Windows* windows;
    std::string target;
  };
  g_signal_connect_data(
      window->window(), "destroy", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        auto* closed = static_cast<Closed*>(data);
        closed->windows->open.erase(closed->target);
      }),
      new Closed{&windows, target},
      [](gpointer data, GClosure*) { delete static_cast<Closed*>(data); }, GConnectFlags{});
  window->present();
}

}  // namespace

int main(int argc, char** argv) {
  tarvine::roots::language::useUserLanguage();
  std::string group(tarvine::Identifiers::defaultAppGroupIdentifier);
  std::vector<char*> passed{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::cout << _(kUsage);
      return 0;
    }
    if (std::strcmp(argv[i], "--group") == 0 && i + 1 < argc) {
      group = argv[++i];
    } else if (argv[i][0] == '-') {
      std::cerr << "tarvine-history: "
                << tarvine::roots::language::formatted(_("unknown option %s"), argv[i]) << "\n\n"
                << _(kUsage);
      return 2;
    } else {
      passed.push_back(argv[i]);
    }
  }
  if (passed.size() < 2) {
    std::cerr << "tarvine-history: " << _("no path") << "\n\n" << _(kUsage);
    return 2;
  }
  Windows windows;
  windows.keeper =
      std::make_unique<tarvine::roots::Keeper>(tarvine::roots::Container::forGroup(group));

  g_set_prgname("tarvine-history");
  g_set_application_name(_("Tarvine History"));
  // (GTK itself would go on without one, and crash.)
  if (!tarvine::window::openDisplayWithoutOpenGl()) {
    std::cerr << "tarvine-history: "
              << _("cannot open the display; the window needs a desktop session") << "\n";
    return 1;
  }
  GtkApplication* application =
      gtk_application_new("com.quillfen.tarvine.History", G_APPLICATION_HANDLES_OPEN);
  // Ctrl+W closes a window, as in every GNOME application (GtkWindow's own action).
  const char* closeKeys[] = {"<Control>w", nullptr};
  gtk_application_set_accels_for_action(application, "window.close", closeKeys);
  g_signal_connect(
      application, "open",
      G_CALLBACK(+[](GApplication* app, GFile** files, int count, const char*, gpointer data) {
        for (int i = 0; i < count; ++i) {
          char* path = g_file_get_path(files[i]);
          if (path == nullptr) continue;
          show(GTK_APPLICATION(app), *static_cast<Windows*>(data),
               tarvine::roots::resolvedPath(path));
          g_free(path);
        }
      }),
      &windows);
  g_signal_connect(application, "shutdown", G_CALLBACK(+[](GApplication*, gpointer data) {
                     auto* windows = static_cast<Windows*>(data);
                     windows->open.clear();
                     if (!windows->copies->empty()) {
                       std::error_code ignored;
                       std::filesystem::remove_all(*windows->copies, ignored);
                     }
                   }),
                   &windows);
  for (int signal : {SIGINT, SIGTERM}) {
    g_unix_signal_add(
        signal,
        [](gpointer app) -> gboolean {
          g_application_quit(G_APPLICATION(app));
          return G_SOURCE_REMOVE;
        },
        application);
  }
  const int status =
      g_application_run(G_APPLICATION(application), static_cast<int>(passed.size()), passed.data());
  g_object_unref(application);
  return status;
}
