#include "window/Dialogs.h"

#include <glib/gi18n.h>

#include <functional>
#include <string>
#include <vector>

#include "roots/Language.h"
#include "window/Background.h"
#include "window/Widgets.h"

namespace tarvine::window {
namespace {

using roots::language::formatted;

// What every dialog here has: a window of its own, its message, and a bar
// that pulses while its work goes on.
struct Dialog {
  std::shared_ptr<Folders> folders;
  GApplication* application = nullptr;
  GtkWindow* window = nullptr;
  GtkWidget* box = nullptr;
  GtkWidget* message = nullptr;
  GtkProgressBar* progress = nullptr;
  guint pulse = 0;
  bool working = false;
  // Whether the window is still there for what the background answers.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  virtual ~Dialog() {
    *alive = false;
    if (pulse != 0) g_source_remove(pulse);
  }
  virtual void changed() {}

  void say(const std::string& text) const { gtk_label_set_text(GTK_LABEL(message), text.c_str()); }

  // Makes the window; `owner` is deleted with it.
  template <class Owner>
  static void open(Owner* owner, GtkWindow* parent, const char* title, int width, int height) {
    owner->window = GTK_WINDOW(gtk_window_new());
    gtk_window_set_transient_for(owner->window, parent);
    gtk_window_set_destroy_with_parent(owner->window, TRUE);
    gtk_window_set_title(owner->window, title);
    gtk_window_set_default_size(owner->window, width, height);
    gtk_window_set_titlebar(owner->window, gtk_header_bar_new());
    owner->box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    margins(owner->box, 18, 12);
    gtk_window_set_child(owner->window, owner->box);
    g_object_set_data_full(G_OBJECT(owner->window), "dialog", owner,
                           [](gpointer data) { delete static_cast<Owner*>(data); });
  }

  // The message and the progress bar, last in the window.
  void finish() {
    progress = GTK_PROGRESS_BAR(gtk_progress_bar_new());
    describe(GTK_WIDGET(progress), _("Working"));
    gtk_widget_set_visible(GTK_WIDGET(progress), FALSE);
    gtk_box_append(GTK_BOX(box), GTK_WIDGET(progress));
    message = wrapping("");
    gtk_label_set_selectable(GTK_LABEL(message), TRUE);
    gtk_box_append(GTK_BOX(box), message);
  }

  // Runs `work` in the background, pulsing, then says its answer.
  void act(const char* doing, std::function<Result<std::string>(const Folders&)> work) {
    if (working) return;
    working = true;
    changed();
    startPulsing(progress, doing, &pulse);
    auto alive = this->alive;
    inBackground<Result<std::string>>(
        application, [folders = folders, work] { return work(*folders); },
        [this, alive](Result<std::string>& done) {
          if (!*alive) return;
          working = false;
          stopPulsing(progress, &pulse);
          say(done.ok() ? *done : done.status().message());
          changed();
          answered(done.ok());
        });
  }
  virtual void answered(bool) {}
};

GtkWidget* row(GtkWidget* first, GtkWidget* second) {
  GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_widget_set_hexpand(first, TRUE);
  gtk_box_append(GTK_BOX(line), first);
  gtk_box_append(GTK_BOX(line), second);
  return line;
}

GtkWidget* entry(const char* name, const char* placeholder) {
  GtkWidget* widget = gtk_entry_new();
  describe(widget, name);
  g_object_set(widget, "placeholder-text", placeholder, nullptr);
  return widget;
}

// A folder chosen with GTK's chooser (the desktop's portal where there is
// one), its path written into `into`.
void chooseInto(GtkWindow* parent, const char* title, GtkWidget* into,
                const std::shared_ptr<bool>& alive) {
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      title, parent, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, _("_Choose"), _("_Cancel"));
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  struct Asked {
    GtkWidget* into;
    std::shared_ptr<bool> alive;
  };
  g_signal_connect_data(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* chooser, int response, gpointer data) {
        auto* asked = static_cast<Asked*>(data);
        GFile* file = response == GTK_RESPONSE_ACCEPT
                          ? gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser))
                          : nullptr;
        char* path = file != nullptr ? g_file_get_path(file) : nullptr;
        if (*asked->alive && path != nullptr)
          gtk_editable_set_text(GTK_EDITABLE(asked->into), path);
        g_free(path);
        if (file != nullptr) g_object_unref(file);
        gtk_native_dialog_destroy(chooser);
        g_object_unref(chooser);
      }),
      new Asked{into, alive}, [](gpointer data, GClosure*) { delete static_cast<Asked*>(data); },
      GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

struct KeptHistories : Dialog {
  std::vector<Folders::OrphanRow> rows;
  GtkStringList* labels = nullptr;
  GtkSingleSelection* selection = nullptr;
  GtkWidget* deleteButton = nullptr;
  GtkWidget* watchButton = nullptr;

  ~KeptHistories() override {
    g_signal_handlers_disconnect_by_data(selection, this);
    g_object_unref(selection);
  }

  const Folders::OrphanRow* selected() const {
    const guint at = gtk_single_selection_get_selected(selection);
    return at < rows.size() ? &rows[at] : nullptr;
  }

  void changed() override {
    const Folders::OrphanRow* row = selected();
    // (A history that does not name its folder can be neither: the command
    // line's forget needs the folder too.)
    const bool chosen = row != nullptr && !row->folder.empty() && !working;
    gtk_widget_set_sensitive(deleteButton, chosen);
    gtk_widget_set_sensitive(watchButton, chosen);
  }

  void answered(bool) override { load(); }

  void load() {
    auto alive = this->alive;
    inBackground<Result<std::vector<Folders::OrphanRow>>>(
        application, [folders = folders] { return folders->orphans(); },
        [this, alive](Result<std::vector<Folders::OrphanRow>>& found) {
          if (!*alive) return;
          if (!found.ok()) return say(found.status().message());
          rows = std::move(*found);
          std::vector<std::string> texts;
          for (const Folders::OrphanRow& each : rows) texts.push_back(each.label);
          setStrings(labels, texts);
          // (What was just done stays said.)
          if (rows.empty() && *gtk_label_get_text(GTK_LABEL(message)) == '\0') {
            say(_("No history is kept of a folder no longer watched."));
          }
          changed();
        });
  }

  void watchAgain() {
    const Folders::OrphanRow* row = selected();
    if (row == nullptr) return;
    act(_("Watching the folder again\u2026"),
        [folder = row->folder](const Folders& folders) { return folders.add(folder); });
  }

  void askToDelete() {
    const Folders::OrphanRow* row = selected();
    if (row == nullptr) return;
    ask(window, _("Delete History"), "",
        formatted(_("Delete the history of %s (%s)? Its versions cannot be brought back."),
                  row->folder.c_str(), row->size.c_str()),
        {{_("_Cancel"), _("Keep the history"), nullptr, {}},
         {_("_Delete"), _("Delete its versions"), "destructive-action",
          [dialog = this, alive = alive, folder = row->folder] {
            if (!*alive) return;
            dialog->act(_("Deleting the history\u2026"),
                        [folder](const Folders& folders) { return folders.forget(folder); });
          }}});
  }

  void build() {
    gtk_box_append(GTK_BOX(box),
                   wrapping(_("The histories of folders you stopped watching and kept. Watch a "
                              "folder again to go on with its history, or delete a history to "
                              "free its space."),
                            "dim-label"));
    labels = gtk_string_list_new(nullptr);
    // The selection is the dialog's own, released with it.
    gtk_box_append(GTK_BOX(box), textList(labels, _("Kept histories"), &selection));
    g_signal_connect(selection, "notify::selected",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                       static_cast<KeptHistories*>(self)->changed();
                     }),
                     this);
    deleteButton = GTK_WIDGET(button(_("_Delete History\u2026"), _("Delete its versions"),
                                     G_CALLBACK(+[](GtkButton*, gpointer self) {
                                       static_cast<KeptHistories*>(self)->askToDelete();
                                     }),
                                     this));
    watchButton = GTK_WIDGET(button(_("_Watch Again"), _("Go on with its history"),
                                    G_CALLBACK(+[](GtkButton*, gpointer self) {
                                      static_cast<KeptHistories*>(self)->watchAgain();
                                    }),
                                    this));
    gtk_widget_add_css_class(watchButton, "suggested-action");
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(buttons, GTK_ALIGN_END);
    gtk_box_append(GTK_BOX(buttons), deleteButton);
    gtk_box_append(GTK_BOX(buttons), watchButton);
    gtk_box_append(GTK_BOX(box), buttons);
    finish();
    changed();
  }
};

struct BringBack : Dialog {
  GtkWidget* address = nullptr;
  GtkWidget* folder = nullptr;
  GtkWidget* version = nullptr;
  GtkWidget* bringButton = nullptr;

  void changed() override { gtk_widget_set_sensitive(bringButton, !working); }

  void bring() {
    const std::string url = gtk_editable_get_text(GTK_EDITABLE(address));
    const std::string into = gtk_editable_get_text(GTK_EDITABLE(folder));
    if (url.empty() || into.empty()) {
      return say(_("Give the mirror's address and the folder to bring its history into."));
    }
    act(_("Bringing the history back\u2026"),
        [url, into, version = std::string(gtk_editable_get_text(GTK_EDITABLE(version))),
         progress = progressOn(this->progress, &pulse, alive)](const Folders& folders) {
          return folders.adopt(url, into, version, progress);
        });
  }

  void build() {
    gtk_box_append(
        GTK_BOX(box),
        wrapping(_("A folder's history from its mirror, on a new computer or after a disk "
                   "failed: its newest version (or the one given) is written into an empty or "
                   "new folder, which is then watched, with the mirror kept."),
                 "dim-label"));
    address = entry(_("Mirror address"), _("ssh://me@host/path.git, or a disk's path"));
    gtk_box_append(GTK_BOX(box), label(_("Mirror"), "heading"));
    gtk_box_append(
        GTK_BOX(box),
        row(address, GTK_WIDGET(button(_("_Disk\u2026"), _("Choose the mirror on a disk"),
                                       G_CALLBACK(+[](GtkButton*, gpointer self) {
                                         auto* dialog = static_cast<BringBack*>(self);
                                         chooseInto(dialog->window,
                                                    _("Choose the Mirror on a Disk"),
                                                    dialog->address, dialog->alive);
                                       }),
                                       this))));
    folder = entry(_("Folder to bring it back into"), _("An empty or new folder"));
    gtk_box_append(GTK_BOX(box), label(_("Into the folder"), "heading"));
    gtk_box_append(GTK_BOX(box),
                   row(folder, GTK_WIDGET(button(
                                   _("C_hoose\u2026"), _("Choose the folder to bring it back into"),
                                   G_CALLBACK(+[](GtkButton*, gpointer self) {
                                     auto* dialog = static_cast<BringBack*>(self);
                                     chooseInto(dialog->window, _("Bring Back into the Folder"),
                                                dialog->folder, dialog->alive);
                                   }),
                                   this))));
    version = entry(_("Version"), _("The newest, unless you give one"));
    gtk_box_append(GTK_BOX(box), label(_("Version"), "heading"));
    gtk_box_append(GTK_BOX(box), version);
    bringButton = GTK_WIDGET(button(
        _("_Bring Back"), _("Fetch the history and write the version"),
        G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<BringBack*>(self)->bring(); }),
        this));
    gtk_widget_add_css_class(bringButton, "suggested-action");
    gtk_widget_set_halign(bringButton, GTK_ALIGN_END);
    gtk_box_append(GTK_BOX(box), bringButton);
    finish();
    changed();
  }
};

}  // namespace

void showBringBack(GtkWindow* parent, GApplication* application, std::shared_ptr<Folders> folders) {
  auto* dialog = new BringBack;
  dialog->folders = std::move(folders);
  dialog->application = application;
  Dialog::open(dialog, parent, _("Bring Back from a Mirror"), 560, 420);
  dialog->build();
  gtk_window_present(dialog->window);
}

void showKeptHistories(GtkWindow* parent, GApplication* application,
                       std::shared_ptr<Folders> folders) {
  auto* dialog = new KeptHistories;
  dialog->folders = std::move(folders);
  dialog->application = application;
  Dialog::open(dialog, parent, _("Kept Histories"), 560, 420);
  dialog->build();
  dialog->load();
  gtk_window_present(dialog->window);
}

}  // namespace tarvine::window
