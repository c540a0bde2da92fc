#include "window/MainWindow.h"

#include <glib/gi18n.h>

#include <atomic>

#include "roots/Preferences.h"
#include "roots/Programs.h"
#include "shared/ManifestLoader.h"
#include "window/Background.h"
#include "window/Dialogs.h"
#include "window/Widgets.h"

namespace tarvine::window {
namespace {

// A change to the roots or a snapshot is a rename or two: one reload for them.
constexpr guint kReloadAfterMs = 300;
// The list is read again this often for what no file tells (a disk that went
// away, the relative times).
constexpr guint kRefreshSeconds = 30;

std::string filled(const char* pattern, const std::string& value) {
  std::string text = pattern;
  const auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, value);
  return text;
}

// A label and the control it names, side by side.
GtkWidget* field(const char* mnemonic, GtkWidget* control) {
  GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  GtkWidget* name = gtk_label_new_with_mnemonic(mnemonic);
  gtk_label_set_mnemonic_widget(GTK_LABEL(name), control);
  gtk_label_set_xalign(GTK_LABEL(name), 0);
  gtk_widget_set_size_request(name, 140, -1);
  gtk_accessible_update_relation(GTK_ACCESSIBLE(control), GTK_ACCESSIBLE_RELATION_LABELLED_BY, name,
                                 nullptr, -1);
  gtk_widget_set_hexpand(control, TRUE);
  gtk_box_append(GTK_BOX(line), name);
  gtk_box_append(GTK_BOX(line), control);
  return line;
}

GtkWidget* entry(const char* name) {
  GtkWidget* widget = gtk_entry_new();
  describe(widget, name);
  return widget;
}

}  // namespace

// A folder's settings in a window of their own: the patterns left out of its
// history, each change written at once, with how many files the list (and
// the pattern being typed) leaves out; and how long its versions are kept.
// It lives as long as its window.
struct MainWindow::Settings {
  std::shared_ptr<Folders> folders;
  GApplication* application = nullptr;
  std::string folder;
  std::string name;  // the folder's own
  GtkWindow* dialog = nullptr;
  GtkStringList* patterns = nullptr;
  GtkSingleSelection* selection = nullptr;
  GtkWidget* pattern = nullptr;
  GtkWidget* preview = nullptr;
  GtkWidget* removeButton = nullptr;
  GtkWidget* tiers = nullptr;
  GtkWidget* sizeLimit = nullptr;
  GtkWidget* message = nullptr;
  // Its mirrors, each with how its pushes went.
  GtkStringList* mirrorLabels = nullptr;
  std::vector<Folders::MirrorRow> mirrorRows;
  GtkSingleSelection* mirrorSelection = nullptr;
  GtkWidget* mirrorUrl = nullptr;
  GtkWidget* removeMirrorButton = nullptr;
  GtkWidget* pushButton = nullptr;
  GtkWidget* checkMirrorButton = nullptr;
  GtkWidget* thinButton = nullptr;
  GtkWidget* packButton = nullptr;
  GtkProgressBar* pushing = nullptr;
  guint pulse = 0;
  bool working = false;
  // The preview being counted, told to stop when another is asked for.
  std::shared_ptr<std::atomic<bool>> counting;
  // Whether the window is still there for what the background answers.
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);

  ~Settings() {
    *alive = false;
    if (counting) *counting = true;
    g_signal_handlers_disconnect_by_data(selection, this);
    g_object_unref(selection);
    g_signal_handlers_disconnect_by_data(mirrorSelection, this);
    g_object_unref(mirrorSelection);
    if (pulse != 0) g_source_remove(pulse);
  }

  std::string typed() const { return gtk_editable_get_text(GTK_EDITABLE(pattern)); }

  void say(const std::string& text) const { gtk_label_set_text(GTK_LABEL(message), text.c_str()); }

  void count() {
    if (counting) *counting = true;
    counting = std::make_shared<std::atomic<bool>>(false);
    std::vector<std::string> list = stringsOf(patterns);
    const std::string next = typed();
    const bool withTyped = !next.empty();
    if (withTyped) list.push_back(next);
    gtk_label_set_text(GTK_LABEL(preview), _("Counting the files\u2026"));
    auto stop = counting;
    auto alive = this->alive;
    inBackground<Result<std::string>>(
        application,
        [folders = folders, folder = folder, list, stop] {
          return folders->preview(folder, list, stop.get());
        },
        [this, alive, stop, withTyped](Result<std::string>& counted) {
          if (!*alive || *stop) return;
          const std::string text =
              counted.ok()
                  ? (withTyped ? filled(_("With the new pattern: %s."), *counted) : *counted + ".")
                  : counted.status().message();
          gtk_label_set_text(GTK_LABEL(preview), text.c_str());
        });
  }

  void write(std::vector<std::string> list, bool clearTyped) {
    auto alive = this->alive;
    inBackground<Status>(
        application,
        [folders = folders, folder = folder, list] {
          return folders->setIgnoreRules(folder, list);
        },
        [this, alive, list, clearTyped](Status& written) {
          if (!*alive) return;
          if (!written.ok()) return say(written.message());
          setStrings(patterns, list);
          if (clearTyped) gtk_editable_set_text(GTK_EDITABLE(pattern), "");
          say(_("Saved: the next snapshot leaves out what the patterns match."));
          selected();
          count();
        });
  }

  void add() {
    const std::string next = typed();
    if (next.empty()) return;
    std::vector<std::string> list = stringsOf(patterns);
    list.push_back(next);
    write(std::move(list), true);
  }

  void remove() {
    const guint at = gtk_single_selection_get_selected(selection);
    std::vector<std::string> list = stringsOf(patterns);
    if (at >= list.size()) return;
    list.erase(list.begin() + at);
    write(std::move(list), false);
  }

  void selected() const {
    gtk_widget_set_sensitive(
        removeButton, gtk_single_selection_get_selected(selection) != GTK_INVALID_LIST_POSITION);
  }

  void keep() {
    const Folders::Retention asked{gtk_editable_get_text(GTK_EDITABLE(tiers)),
                                   gtk_editable_get_text(GTK_EDITABLE(sizeLimit))};
    auto alive = this->alive;
    inBackground<Result<std::string>>(
        application,
        [folders = folders, folder = folder, asked] {
          return folders->setRetention(folder, asked);
        },
        [this, alive](Result<std::string>& kept) {
          if (!*alive) return;
          say(kept.ok() ? *kept : kept.status().message());
        });
  }

  void load() {
    struct Read {
      Result<std::vector<std::string>> patterns;
      Result<Folders::Retention> retention;
    };
    auto alive = this->alive;
    inBackground<Read>(
        application,
        [folders = folders, folder = folder] {
          return Read{folders->ignoreRules(folder), folders->retention(folder)};
        },
        [this, alive](Read& read) {
          if (!*alive) return;
          if (!read.patterns.ok()) return say(read.patterns.status().message());
          setStrings(patterns, *read.patterns);
          if (read.retention.ok()) {
            gtk_editable_set_text(GTK_EDITABLE(tiers), read.retention->tiers.c_str());
            gtk_editable_set_text(GTK_EDITABLE(sizeLimit), read.retention->sizeLimit.c_str());
          } else {
            say(read.retention.status().message());
          }
          count();
        });
  }

  // What thinning would remove, asked first; then thinned.
  void thinNow() {
    if (working) return;
    working = true;
    mirrorSelected();
    startPulsing(pushing, _("Finding what thinning removes\u2026"), &pulse);
    auto alive = this->alive;
    inBackground<Result<Folders::Thinned>>(
        application, [folders = folders, folder = folder] { return folders->thin(folder, true); },
        [this, alive](Result<Folders::Thinned>& would) {
          if (!*alive) return;
          working = false;
          stopPulsing(pushing, &pulse);
          mirrorSelected();
          if (!would.ok()) return say(would.status().message());
          if (would->versions == 0) return say(would->text);
          askToThin(would->text);
        });
  }

  void askToThin(const std::string& what) {
    ask(dialog, _("Thin Now"), "", what + "\n" + _("The versions removed cannot be brought back."),
        {{_("_Cancel"), _("Keep every version"), nullptr, {}},
         {_("_Thin"), _("Remove those versions now"), "destructive-action",
          [settings = this, alive = alive] {
            if (!*alive) return;
            settings->work(
                _("Thinning the history\u2026"),
                [folder = settings->folder](const Folders& folders) -> Result<std::string> {
                  auto thinned = folders.thin(folder, false);
                  if (!thinned.ok()) return thinned.status();
                  return thinned->text;
                });
          }}});
  }

  void loadMirrors() {
    auto alive = this->alive;
    inBackground<Result<std::vector<Folders::MirrorRow>>>(
        application, [folders = folders, folder = folder] { return folders->mirrors(folder); },
        [this, alive](Result<std::vector<Folders::MirrorRow>>& rows) {
          if (!*alive) return;
          if (!rows.ok()) return say(rows.status().message());
          // The mirror selected stays so as its status is read again.
          const std::string kept = selectedMirror() != nullptr ? selectedMirror()->url : "";
          mirrorRows = std::move(*rows);
          std::vector<std::string> labels;
          guint reselect = GTK_INVALID_LIST_POSITION;
          for (const Folders::MirrorRow& row : mirrorRows) {
            if (row.url == kept) reselect = static_cast<guint>(labels.size());
            labels.push_back(row.label);
          }
          setStrings(mirrorLabels, labels);
          gtk_single_selection_set_selected(mirrorSelection, reselect);
          mirrorSelected();
        });
  }

  const Folders::MirrorRow* selectedMirror() const {
    const guint at = gtk_single_selection_get_selected(mirrorSelection);
    return at < mirrorRows.size() ? &mirrorRows[at] : nullptr;
  }

  // What can be done now: one push, thinning or change to the mirrors at a time.
  void mirrorSelected() const {
    const bool chosen = selectedMirror() != nullptr;
    gtk_widget_set_sensitive(removeMirrorButton, chosen && !working);
    gtk_widget_set_sensitive(pushButton, chosen && !working);
    gtk_widget_set_sensitive(checkMirrorButton, chosen && !working);
    gtk_widget_set_sensitive(thinButton, !working);
    gtk_widget_set_sensitive(packButton, !working);
  }

  // Changes the mirrors, pushes or checks one, thins or packs, in the
  // background; then says how it went and reads the mirrors again.
  void work(const char* doing, std::function<Result<std::string>(const Folders&)> change,
            bool clearUrl = false) {
    if (working) return;
    working = true;
    mirrorSelected();
    startPulsing(pushing, doing, &pulse);
    auto alive = this->alive;
    inBackground<Result<std::string>>(
        application, [folders = folders, change] { return change(*folders); },
        [this, alive, clearUrl](Result<std::string>& done) {
          if (!*alive) return;
          working = false;
          stopPulsing(pushing, &pulse);
          say(done.ok() ? *done : done.status().message());
          if (done.ok() && clearUrl) gtk_editable_set_text(GTK_EDITABLE(mirrorUrl), "");
          loadMirrors();
        });
  }

  void addMirror() {
    const std::string url = gtk_editable_get_text(GTK_EDITABLE(mirrorUrl));
    if (url.empty()) return say(_("Type the mirror's address, or choose a disk's folder."));
    work(
        _("Adding the mirror\u2026"),
        [folder = folder, url](const Folders& folders) { return folders.addMirror(folder, url); },
        true);
  }

  void removeMirror() {
    const Folders::MirrorRow* row = selectedMirror();
    if (row == nullptr) return;
    work(_("Removing the mirror\u2026"), [folder = folder, url = row->url](const Folders& folders) {
      return folders.removeMirror(folder, url);
    });
  }

  void checkMirror() {
    const Folders::MirrorRow* row = selectedMirror();
    if (row == nullptr) return;
    work(_("Checking the mirror\u2026"),
         [folder = folder, url = row->url](const Folders& folders) -> Result<std::string> {
           auto verdict = folders.checkMirror(folder, url);
           if (!verdict.ok()) return verdict.status();
           return verdict->text;
         });
  }

  void pushMirror() {
    const Folders::MirrorRow* row = selectedMirror();
    if (row == nullptr) return;
    work(_("Pushing the history to its mirror\u2026"),
         [folder = folder, url = row->url, progress = progressOn(pushing, &pulse, alive)](
             const Folders& folders) { return folders.pushMirror(folder, url, progress); });
  }

  // A folder on a disk: the mirror is a repository named after the folder
  // inside it, unless the one chosen is a repository itself.
  void chooseDisk(const std::string& name) {
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        _("Choose a Folder on the Mirror's Disk"), dialog, GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER,
        _("_Choose"), _("_Cancel"));
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
    struct Asked {
      Settings* settings;
      std::shared_ptr<bool> alive;
      std::string name;
    };
    g_signal_connect_data(
        chooser, "response", G_CALLBACK(+[](GtkNativeDialog* chooser, int response, gpointer data) {
          auto* asked = static_cast<Asked*>(data);
          GFile* file = response == GTK_RESPONSE_ACCEPT
                            ? gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser))
                            : nullptr;
          char* path = file != nullptr ? g_file_get_path(file) : nullptr;
          if (*asked->alive && path != nullptr) {
            std::string url = path;
            if (!url.ends_with(".git")) url += "/" + asked->name + ".git";
            gtk_editable_set_text(GTK_EDITABLE(asked->settings->mirrorUrl), url.c_str());
          }
          g_free(path);
          if (file != nullptr) g_object_unref(file);
          gtk_native_dialog_destroy(chooser);
          g_object_unref(chooser);
        }),
        new Asked{this, alive, name},
        [](gpointer data, GClosure*) { delete static_cast<Asked*>(data); }, GConnectFlags{});
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
  }

  GtkWidget* buildMirrors() {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    GtkWidget* heading = label(_("Mirrors"), "heading");
    gtk_widget_set_margin_top(heading, 12);
    gtk_box_append(GTK_BOX(box), heading);
    gtk_box_append(GTK_BOX(box),
                   wrapping(_("Copies of the history on another disk or a git server over SSH "
                              "(ssh://me@host/path.git or me@host:path.git), pushed after "
                              "snapshots. A mirror is not encrypted: keep it where you trust."),
                            "dim-label"));
    mirrorLabels = gtk_string_list_new(nullptr);
    // The selection is the settings' own, released with them.
    gtk_box_append(GTK_BOX(box), textList(mirrorLabels, _("Mirrors"), &mirrorSelection, 90));
    g_signal_connect(mirrorSelection, "notify::selected",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                       static_cast<Settings*>(self)->mirrorSelected();
                     }),
                     this);
    GtkWidget* adding = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    mirrorUrl = entry(_("Mirror address"));
    g_object_set(mirrorUrl, "placeholder-text", _("ssh://me@host/path.git, or a disk's path"),
                 nullptr);
    gtk_widget_set_hexpand(mirrorUrl, TRUE);
    g_signal_connect(mirrorUrl, "activate", G_CALLBACK(+[](GtkEntry*, gpointer self) {
                       static_cast<Settings*>(self)->addMirror();
                     }),
                     this);
    gtk_box_append(GTK_BOX(adding), mirrorUrl);
    gtk_box_append(
        GTK_BOX(adding),
        GTK_WIDGET(button(_("_Disk\u2026"), _("Choose a folder on a disk for the mirror"),
                          G_CALLBACK(+[](GtkButton*, gpointer self) {
                            auto* settings = static_cast<Settings*>(self);
                            settings->chooseDisk(settings->name);
                          }),
                          this)));
    gtk_box_append(GTK_BOX(adding),
                   GTK_WIDGET(button(_("Add _Mirror"), _("Mirror the history to this address"),
                                     G_CALLBACK(+[](GtkButton*, gpointer self) {
                                       static_cast<Settings*>(self)->addMirror();
                                     }),
                                     this)));
    gtk_box_append(GTK_BOX(box), adding);
    GtkWidget* acting = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(acting, GTK_ALIGN_END);
    removeMirrorButton =
        GTK_WIDGET(button(_("Remo_ve Mirror"), _("Stop mirroring there; the mirror's copy stays"),
                          G_CALLBACK(+[](GtkButton*, gpointer self) {
                            static_cast<Settings*>(self)->removeMirror();
                          }),
                          this));
    gtk_box_append(GTK_BOX(acting), removeMirrorButton);
    checkMirrorButton = GTK_WIDGET(button(
        _("C_heck Mirror"), _("Read everything the mirror holds and verify it"),
        G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<Settings*>(self)->checkMirror(); }),
        this));
    gtk_box_append(GTK_BOX(acting), checkMirrorButton);
    pushButton = GTK_WIDGET(button(
        _("P_ush Now"), _("Send the snapshots the mirror lacks now"),
        G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<Settings*>(self)->pushMirror(); }),
        this));
    gtk_box_append(GTK_BOX(acting), pushButton);
    gtk_box_append(GTK_BOX(box), acting);
    return box;
  }

  void build(GtkWindow* parent) {
    dialog = GTK_WINDOW(gtk_window_new());
    gtk_window_set_transient_for(dialog, parent);
    gtk_window_set_destroy_with_parent(dialog, TRUE);
    gtk_window_set_title(dialog, filled(_("%s \u2013 Settings"), name).c_str());
    gtk_window_set_default_size(dialog, 560, 780);
    gtk_window_set_titlebar(dialog, gtk_header_bar_new());
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
    margins(box, 18, 12);
    gtk_window_set_child(dialog, scrolled(box));

    gtk_box_append(GTK_BOX(box), label(_("Leave out"), "heading"));
    gtk_box_append(GTK_BOX(box),
                   wrapping(_("Files and folders that match these patterns are not kept in the "
                              "history (patterns as in .gitignore: *.tmp, build/, !keep.tmp)."),
                            "dim-label"));
    patterns = gtk_string_list_new(nullptr);
    gtk_box_append(GTK_BOX(box), textList(patterns, _("Patterns left out"), &selection, 120));
    g_signal_connect(selection, "notify::selected",
                     G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                       static_cast<Settings*>(self)->selected();
                     }),
                     this);

    GtkWidget* adding = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    pattern = entry(_("New pattern"));
    g_object_set(pattern, "placeholder-text", _("New pattern, such as *.tmp"), nullptr);
    gtk_widget_set_hexpand(pattern, TRUE);
    g_signal_connect(pattern, "changed", G_CALLBACK(+[](GtkEditable*, gpointer self) {
                       static_cast<Settings*>(self)->count();
                     }),
                     this);
    g_signal_connect(
        pattern, "activate",
        G_CALLBACK(+[](GtkEntry*, gpointer self) { static_cast<Settings*>(self)->add(); }), this);
    gtk_box_append(GTK_BOX(adding), pattern);
    gtk_box_append(GTK_BOX(adding),
                   GTK_WIDGET(button(_("_Add"), _("Leave out what this pattern matches"),
                                     G_CALLBACK(+[](GtkButton*, gpointer self) {
                                       static_cast<Settings*>(self)->add();
                                     }),
                                     this)));
    removeButton = GTK_WIDGET(button(
        _("_Remove"), _("Keep again what the selected pattern matched"),
        G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<Settings*>(self)->remove(); }),
        this));
    gtk_box_append(GTK_BOX(adding), removeButton);
    gtk_box_append(GTK_BOX(box), adding);
    preview = wrapping("");
    gtk_box_append(GTK_BOX(box), preview);

    GtkWidget* keepHeading = label(_("Keep"), "heading");
    gtk_widget_set_margin_top(keepHeading, 12);
    gtk_box_append(GTK_BOX(box), keepHeading);
    gtk_box_append(GTK_BOX(box),
                   wrapping(_("Which versions are kept as they grow old, as EVERY:AGE pairs "
                              "(all:1d,1h:7d,1d:90d,1w:forever), and the size the history is "
                              "thinned to (such as 500M or 2G; none for no limit)."),
                            "dim-label"));
    tiers = entry(_("Versions kept"));
    gtk_box_append(GTK_BOX(box), field(_("_Versions kept"), tiers));
    sizeLimit = entry(_("Size limit"));
    gtk_box_append(GTK_BOX(box), field(_("_Size limit"), sizeLimit));
    GtkWidget* apply = GTK_WIDGET(
        button(_("A_pply"), _("Keep the versions as set here"),
               G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<Settings*>(self)->keep(); }),
               this));
    thinButton = GTK_WIDGET(button(
        _("_Thin Now\u2026"), _("Remove now the versions the policy does not keep"),
        G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<Settings*>(self)->thinNow(); }),
        this));
    packButton =
        GTK_WIDGET(button(_("Pac_k Now"), _("Pack the whole history into one, as git gc does"),
                          G_CALLBACK(+[](GtkButton*, gpointer self) {
                            static_cast<Settings*>(self)->work(
                                _("Packing the history\u2026"),
                                [folder = static_cast<Settings*>(self)->folder](
                                    const Folders& folders) { return folders.pack(folder); });
                          }),
                          this));
    GtkWidget* keeping = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_widget_set_halign(keeping, GTK_ALIGN_END);
    gtk_box_append(GTK_BOX(keeping), packButton);
    gtk_box_append(GTK_BOX(keeping), thinButton);
    gtk_box_append(GTK_BOX(keeping), apply);
    gtk_box_append(GTK_BOX(box), keeping);
    gtk_box_append(GTK_BOX(box), buildMirrors());
    // Pulsing while a push or a thinning goes on, in the background.
    pushing = GTK_PROGRESS_BAR(gtk_progress_bar_new());
    describe(GTK_WIDGET(pushing), _("Working"));
    gtk_widget_set_visible(GTK_WIDGET(pushing), FALSE);
    gtk_box_append(GTK_BOX(box), GTK_WIDGET(pushing));
    message = wrapping("");
    gtk_label_set_selectable(GTK_LABEL(message), TRUE);
    gtk_box_append(GTK_BOX(box), message);
    selected();
    mirrorSelected();
  }
};

std::shared_ptr<MainWindow> MainWindow::create(GtkApplication* application, roots::Keeper& keeper,
                                               std::string group) {
  std::shared_ptr<MainWindow> window(new MainWindow(application, keeper, std::move(group)));
  window->build();
  window->follow();
  window->load();
  window->loadNotifications();
  return window;
}

MainWindow::MainWindow(GtkApplication* application, roots::Keeper& keeper, std::string group)
    : application_(G_APPLICATION(application)),
      folders_(std::make_shared<Folders>(keeper)),
      group_(std::move(group)) {
  window_ = GTK_WINDOW(gtk_application_window_new(application));
  g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                     static_cast<MainWindow*>(self)->window_ = nullptr;
                   }),
                   this);
}

MainWindow::~MainWindow() {
  // Ended with the application while its window is still there (SIGTERM):
  // the window goes first, so that nothing it holds calls back here.
  if (window_ != nullptr) {
    g_signal_handlers_disconnect_by_data(window_, this);
    gtk_window_destroy(window_);
  }
  g_signal_handlers_disconnect_by_data(selection_, this);
  g_signal_handlers_disconnect_by_data(factory_, this);
  g_object_unref(selection_);
  g_object_unref(factory_);
  for (guint* source : {&reloadSoon_, &refresh_, &pulse_}) {
    if (*source != 0) g_source_remove(*source);
  }
  if (manifestMonitor_ != nullptr) {
    g_signal_handlers_disconnect_by_data(manifestMonitor_, this);
    g_object_unref(manifestMonitor_);
  }
  for (auto& [path, monitor] : branchMonitors_) {
    g_signal_handlers_disconnect_by_data(monitor, this);
    g_object_unref(monitor);
  }
}

void MainWindow::build() {
  gtk_window_set_title(window_, "Tarvine");
  gtk_window_set_default_size(window_, 800, 720);
  GtkWidget* header = gtk_header_bar_new();
  gtk_header_bar_pack_start(
      GTK_HEADER_BAR(header),
      GTK_WIDGET(button(_("_Add Folder\u2026"), _("Keep the history of another folder"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          static_cast<MainWindow*>(self)->addFolder();
                        }),
                        this)));
  gtk_header_bar_pack_start(
      GTK_HEADER_BAR(header),
      GTK_WIDGET(button(_("_Kept Histories\u2026"),
                        _("The histories of folders no longer watched: watch one again, or "
                          "delete it"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          auto* window = static_cast<MainWindow*>(self);
                          showKeptHistories(window->window_, window->application_,
                                            window->folders_);
                        }),
                        this)));
  gtk_header_bar_pack_start(
      GTK_HEADER_BAR(header),
      GTK_WIDGET(button(_("_Bring Back from a Mirror\u2026"),
                        _("A folder's history from its mirror, on a new computer"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          auto* window = static_cast<MainWindow*>(self);
                          showBringBack(window->window_, window->application_, window->folders_);
                        }),
                        this)));
  notifications_ = gtk_check_button_new_with_mnemonic(_("_Notifications"));
  // (GTK 4.8 gives a check button no name of its own for screen readers.)
  describe(notifications_, _("Notifications"));
  gtk_widget_set_tooltip_text(notifications_,
                              _("Tell on the desktop when something goes wrong and what a "
                                "restore did"));
  g_signal_connect(
      notifications_, "toggled", G_CALLBACK(+[](GtkCheckButton* check, gpointer self) {
        static_cast<MainWindow*>(self)->setNotifications(gtk_check_button_get_active(check));
      }),
      this);
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), notifications_);
  gtk_window_set_titlebar(window_, header);

  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_window_set_child(window_, content);
  // What was done, or went wrong.
  banner_ = GTK_REVEALER(gtk_revealer_new());
  message_ = GTK_LABEL(wrapping(""));
  gtk_label_set_selectable(message_, TRUE);
  margins(GTK_WIDGET(message_), 12, 8);
  gtk_revealer_set_child(banner_, GTK_WIDGET(message_));
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(banner_));
  progress_ = GTK_PROGRESS_BAR(gtk_progress_bar_new());
  describe(GTK_WIDGET(progress_), _("Working"));
  gtk_widget_set_visible(GTK_WIDGET(progress_), FALSE);
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(progress_));
  gtk_box_append(GTK_BOX(content), buildList());
  gtk_box_append(GTK_BOX(content), buildActions());
  selected();
}

GtkWidget* MainWindow::buildList() {
  stack_ = GTK_STACK(gtk_stack_new());
  gtk_widget_set_vexpand(GTK_WIDGET(stack_), TRUE);
  GtkWidget* spinner = gtk_spinner_new();
  gtk_spinner_start(GTK_SPINNER(spinner));
  describe(spinner, _("Loading the watched folders"));
  gtk_widget_set_size_request(spinner, 32, 32);
  gtk_widget_set_halign(spinner, GTK_ALIGN_CENTER);
  gtk_widget_set_valign(spinner, GTK_ALIGN_CENTER);
  gtk_stack_add_named(stack_, spinner, "loading");
  GtkWidget* empty =
      wrapping(_("No folder is watched yet.\n\nPick Add Folder\u2026 to keep the "
                 "history of a folder's files, or Enable History in the file "
                 "manager's History menu."));
  gtk_label_set_justify(GTK_LABEL(empty), GTK_JUSTIFY_CENTER);
  gtk_label_set_xalign(GTK_LABEL(empty), 0.5);
  margins(empty, 36, 0);
  gtk_stack_add_named(stack_, empty, "empty");

  labels_ = gtk_string_list_new(nullptr);
  // A reference of the window's own besides the view's, released last.
  factory_ = GTK_LIST_ITEM_FACTORY(g_object_ref(gtk_signal_list_item_factory_new()));
  g_signal_connect(factory_, "setup",
                   G_CALLBACK(+[](GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
                     GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
                     margins(lines, 12, 8);
                     GtkWidget* first = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
                     GtkWidget* name = label("", "heading");
                     gtk_widget_set_hexpand(name, TRUE);
                     gtk_box_append(GTK_BOX(first), name);
                     gtk_box_append(GTK_BOX(first), label(""));
                     gtk_box_append(GTK_BOX(lines), first);
                     gtk_box_append(GTK_BOX(lines), label("", "dim-label"));
                     gtk_box_append(GTK_BOX(lines), label(""));
                     gtk_box_append(GTK_BOX(lines), wrapping("", "error"));
                     gtk_list_item_set_child(item, lines);
                   }),
                   nullptr);
  g_signal_connect(factory_, "bind",
                   G_CALLBACK(+[](GtkSignalListItemFactory*, GtkListItem* item, gpointer self) {
                     static_cast<const MainWindow*>(self)->bindRow(item);
                   }),
                   this);
  GtkWidget* list = GTK_WIDGET(listView(G_LIST_MODEL(labels_), factory_, &selection_));
  g_object_ref(selection_);  // the window's own, released last
  describe(list, _("Watched folders"));
  // A double click or Enter on a folder shows its history.
  g_signal_connect(list, "activate", G_CALLBACK(+[](GtkListView*, guint, gpointer self) {
                     static_cast<MainWindow*>(self)->openHistory();
                   }),
                   this);
  g_signal_connect(selection_, "notify::selected",
                   G_CALLBACK(+[](GObject*, GParamSpec*, gpointer self) {
                     static_cast<MainWindow*>(self)->selected();
                   }),
                   this);
  gtk_stack_add_named(stack_, scrolled(list), "list");
  gtk_stack_set_visible_child_name(stack_, "loading");
  return GTK_WIDGET(stack_);
}

GtkWidget* MainWindow::buildActions() {
  GtkWidget* actions = gtk_action_bar_new();
  snapshotButton_ =
      GTK_WIDGET(button(_("_Snapshot Now"), _("Keep the folder as it is now"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          auto* window = static_cast<MainWindow*>(self);
                          if (window->selectedRow() == nullptr) return;
                          window->act(_("Taking a snapshot\u2026"),
                                      [path = window->selectedRow()->path](const Folders& folders) {
                                        return folders.snapshot(path);
                                      });
                        }),
                        this));
  pauseButton_ =
      GTK_WIDGET(button(_("_Pause"), _("Stop or start again the folder's snapshots"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          auto* window = static_cast<MainWindow*>(self);
                          if (window->selectedRow() == nullptr) return;
                          const Folders::Row& row = *window->selectedRow();
                          const bool paused = row.state == Folders::State::paused;
                          window->act(paused ? _("Resuming\u2026") : _("Pausing\u2026"),
                                      [path = row.path, paused](const Folders& folders) {
                                        return paused ? folders.resume(path) : folders.pause(path);
                                      });
                        }),
                        this));
  automatic_ = gtk_check_button_new_with_mnemonic(_("A_utomatic snapshots"));
  describe(automatic_, _("Automatic snapshots"));
  gtk_widget_set_tooltip_text(automatic_,
                              _("A snapshot after each change, or only when you ask for one"));
  g_signal_connect(automatic_, "toggled", G_CALLBACK(+[](GtkCheckButton* check, gpointer self) {
                     auto* window = static_cast<MainWindow*>(self);
                     if (window->updating_ || window->selectedRow() == nullptr) return;
                     const bool automatic = gtk_check_button_get_active(check);
                     window->act(_("Switching\u2026"), [path = window->selectedRow()->path,
                                                        automatic](const Folders& folders) {
                       return folders.setAutomatic(path, automatic);
                     });
                   }),
                   this);
  checkButton_ =
      GTK_WIDGET(button(_("_Check"), _("Read every version of its history and verify it"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          auto* window = static_cast<MainWindow*>(self);
                          if (window->selectedRow() == nullptr) return;
                          window->act(_("Checking the history\u2026"),
                                      [path = window->selectedRow()->path](
                                          const Folders& folders) -> Result<std::string> {
                                        auto verdict = folders.check(path);
                                        if (!verdict.ok()) return verdict.status();
                                        return verdict->text;
                                      });
                        }),
                        this));
  movedButton_ = GTK_WIDGET(button(
      _("_Moved\u2026"), _("Tell where the folder is now, if it was moved or renamed"),
      G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<MainWindow*>(self)->moved(); }),
      this));
  historyButton_ = GTK_WIDGET(button(
      _("_History"), _("Show the folder's versions"),
      G_CALLBACK(+[](GtkButton*, gpointer self) { static_cast<MainWindow*>(self)->openHistory(); }),
      this));
  settingsButton_ =
      GTK_WIDGET(button(_("Se_ttings\u2026"), _("What to leave out, and how long to keep it"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          static_cast<MainWindow*>(self)->openSettings();
                        }),
                        this));
  stopButton_ = GTK_WIDGET(button(_("Stop _Watching\u2026"), _("No more snapshots of this folder"),
                                  G_CALLBACK(+[](GtkButton*, gpointer self) {
                                    static_cast<MainWindow*>(self)->stopWatching();
                                  }),
                                  this));
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), snapshotButton_);
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), pauseButton_);
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), automatic_);
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), checkButton_);
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), movedButton_);
  gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), stopButton_);
  gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), settingsButton_);
  gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), historyButton_);
  return actions;
}

// A row made for a folder as it scrolls into view.
void MainWindow::bindRow(GtkListItem* item) const {
  const guint position = gtk_list_item_get_position(item);
  if (position >= rows_.size()) return;
  const Folders::Row& row = rows_[position];
  GtkWidget* lines = gtk_list_item_get_child(item);
  GtkWidget* first = gtk_widget_get_first_child(lines);
  GtkWidget* name = gtk_widget_get_first_child(first);
  gtk_label_set_text(GTK_LABEL(name), row.name.c_str());
  gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(name)), row.stateText.c_str());
  GtkWidget* path = gtk_widget_get_next_sibling(first);
  gtk_label_set_text(GTK_LABEL(path), row.path.c_str());
  GtkWidget* detail = gtk_widget_get_next_sibling(path);
  std::string text = row.versions > 0
                         ? filled(_("Last snapshot %s"), row.when) + " (" + row.at + ")"
                         : std::string(_("No snapshot yet"));
  text +=
      " \u00b7 " +
      filled(ngettext("%s version", "%s versions", row.versions), std::to_string(row.versions)) +
      " \u00b7 " + filled(_("%s on disk"), row.size);
  gtk_label_set_text(GTK_LABEL(detail), text.c_str());
  GtkWidget* problem = gtk_widget_get_next_sibling(detail);
  gtk_label_set_text(GTK_LABEL(problem), row.problem.c_str());
  gtk_widget_set_visible(problem, !row.problem.empty());
  describeRow(lines, row.label);
}

void MainWindow::load() {
  if (loading_) {
    loadAgain_ = true;
    return;
  }
  loading_ = true;
  std::weak_ptr<MainWindow> self = weak_from_this();
  inBackground<Result<std::vector<Folders::Row>>>(
      application_, [folders = folders_] { return folders->load(); },
      [self](Result<std::vector<Folders::Row>>& rows) {
        auto window = self.lock();
        if (!window) return;
        window->loading_ = false;
        if (rows.ok()) {
          window->show(std::move(*rows));
        } else {
          window->say(rows.status().message());
        }
        if (window->loadAgain_) {
          window->loadAgain_ = false;
          window->load();
        }
      });
}

// The setting is the application's, kept in the container beside the
// manifest, and may be changed from the command line at any time.
void MainWindow::loadNotifications() {
  std::weak_ptr<MainWindow> self = weak_from_this();
  inBackground<Result<bool>>(
      application_, [folders = folders_] { return folders->notifications(); },
      [self](Result<bool>& on) {
        auto window = self.lock();
        if (!window) return;
        if (!on.ok()) return window->say(on.status().message());
        window->updatingNotifications_ = true;
        gtk_check_button_set_active(GTK_CHECK_BUTTON(window->notifications_), *on);
        window->updatingNotifications_ = false;
      });
}

void MainWindow::setNotifications(bool on) {
  if (updatingNotifications_) return;
  std::weak_ptr<MainWindow> self = weak_from_this();
  inBackground<Status>(
      application_, [folders = folders_, on] { return folders->setNotifications(on); },
      [self, on](Status& written) {
        auto window = self.lock();
        if (!window) return;
        if (!written.ok()) {
          window->say(written.message());
          return window->loadNotifications();
        }
        window->say(on ? _("Notifications are on.") : _("Notifications are off."));
      });
}

void MainWindow::reloadSoon() {
  if (reloadSoon_ != 0) return;
  reloadSoon_ = g_timeout_add_once(
      kReloadAfterMs,
      [](gpointer self) {
        auto* window = static_cast<MainWindow*>(self);
        window->reloadSoon_ = 0;
        window->load();
      },
      this);
}

void MainWindow::select(const std::string& folder) {
  wanted_ = folder;
  load();  // the folder may be new to the list
}

void MainWindow::show(std::vector<Folders::Row> rows) {
  const std::string keep = !wanted_.empty()           ? wanted_
                           : selectedRow() != nullptr ? selectedRow()->path
                                                      : "";
  rows_ = std::move(rows);
  std::vector<std::string> labels;
  guint reselect = GTK_INVALID_LIST_POSITION;
  for (const Folders::Row& row : rows_) {
    if (row.path == keep) reselect = static_cast<guint>(labels.size());
    labels.push_back(row.label);
  }
  if (reselect != GTK_INVALID_LIST_POSITION) wanted_.clear();
  setStrings(labels_, labels);
  gtk_single_selection_set_selected(selection_, reselect);
  gtk_stack_set_visible_child_name(stack_, rows_.empty() ? "empty" : "list");
  followBranches();
  selected();
}

// The manifest is replaced by a rename whenever a folder is added, paused,
// switched or left, by whichever program.
void MainWindow::follow() {
  GFile* container = g_file_new_for_path(folders_->manifestFolder().c_str());
  manifestMonitor_ =
      g_file_monitor_directory(container, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  g_object_unref(container);
  if (manifestMonitor_ != nullptr) {
    g_signal_connect(
        manifestMonitor_, "changed",
        G_CALLBACK(+[](GFileMonitor*, GFile* file, GFile* other, GFileMonitorEvent, gpointer self) {
          for (GFile* named : {file, other}) {
            if (named == nullptr) continue;
            char* name = g_file_get_basename(named);
            const bool manifest =
                name != nullptr && std::string_view(name) == ManifestLoader::manifestFileName;
            const bool preferences =
                name != nullptr && std::string_view(name) == roots::Preferences::fileName;
            g_free(name);
            if (manifest) return static_cast<MainWindow*>(self)->reloadSoon();
            if (preferences) return static_cast<MainWindow*>(self)->loadNotifications();
          }
        }),
        this);
  }
  refresh_ = g_timeout_add_seconds(
      kRefreshSeconds,
      [](gpointer self) -> gboolean {
        static_cast<MainWindow*>(self)->load();
        return G_SOURCE_CONTINUE;
      },
      this);
}

// A snapshot moves its history's branch, whoever takes it.
void MainWindow::followBranches() {
  for (const Folders::Row& row : rows_) {
    if (branchMonitors_.count(row.path) != 0) continue;
    // (A folder of branches not made yet, for a folder without a snapshot,
    // is followed too: GIO watches for it to appear.)
    GFile* heads = g_file_new_for_path(folders_->branchesOf(row.path).c_str());
    GFileMonitor* monitor =
        g_file_monitor_directory(heads, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
    g_object_unref(heads);
    if (monitor == nullptr) continue;
    g_signal_connect(
        monitor, "changed",
        G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self) {
          static_cast<MainWindow*>(self)->reloadSoon();
        }),
        this);
    branchMonitors_[row.path] = monitor;
  }
}

const Folders::Row* MainWindow::selectedRow() const {
  const guint index = gtk_single_selection_get_selected(selection_);
  return index < rows_.size() ? &rows_[index] : nullptr;
}

void MainWindow::selected() {
  const Folders::Row* row = selectedRow();
  const bool chosen = row != nullptr && !working_;
  for (GtkWidget* control : {snapshotButton_, pauseButton_, automatic_, checkButton_,
                             historyButton_, settingsButton_, stopButton_}) {
    gtk_widget_set_sensitive(control, chosen);
  }
  if (row == nullptr) return gtk_widget_set_visible(movedButton_, FALSE);
  const bool paused = row->state == Folders::State::paused;
  retitle(pauseButton_, paused ? _("_Resume") : _("_Pause"));
  gtk_widget_set_sensitive(snapshotButton_, chosen && !paused);
  gtk_widget_set_visible(movedButton_, row->state == Folders::State::unavailable);
  updating_ = true;
  gtk_check_button_set_active(GTK_CHECK_BUTTON(automatic_), row->automatic);
  updating_ = false;
}

void MainWindow::say(const std::string& message) {
  gtk_label_set_text(message_, message.c_str());
  gtk_revealer_set_reveal_child(banner_, !message.empty());
}

void MainWindow::act(const char* doing, std::function<Result<std::string>(const Folders&)> change) {
  if (working_) return;
  working_ = true;
  selected();
  startPulsing(progress_, doing, &pulse_);
  std::weak_ptr<MainWindow> self = weak_from_this();
  inBackground<Result<std::string>>(
      application_, [folders = folders_, change] { return change(*folders); },
      [self](Result<std::string>& done) {
        auto window = self.lock();
        if (!window) return;
        window->working_ = false;
        stopPulsing(window->progress_, &window->pulse_);
        window->say(done.ok() ? *done : done.status().message());
        window->load();
      });
}

// Through the desktop's portal where there is one, so that a sandboxed
// session's own chooser picks the folder.
void MainWindow::addFolder() {
  GtkFileChooserNative* chooser =
      gtk_file_chooser_native_new(_("Add a Folder to Watch"), window_,
                                  GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, _("_Watch"), _("_Cancel"));
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  struct Asked {
    std::weak_ptr<MainWindow> window;
  };
  g_signal_connect_data(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        auto window = static_cast<Asked*>(data)->window.lock();
        GFile* file = response == GTK_RESPONSE_ACCEPT
                          ? gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))
                          : nullptr;
        char* path = file != nullptr ? g_file_get_path(file) : nullptr;
        if (window && file != nullptr && path == nullptr) {
          window->say(_("Only a folder on this computer can be watched."));
        } else if (window && path != nullptr) {
          window->act(
              _("Adding the folder and taking its first snapshot\u2026"),
              [folder = std::string(path)](const Folders& folders) { return folders.add(folder); });
        }
        g_free(path);
        if (file != nullptr) g_object_unref(file);
        gtk_native_dialog_destroy(dialog);
        g_object_unref(dialog);
      }),
      new Asked{weak_from_this()},
      [](gpointer data, GClosure*) { delete static_cast<Asked*>(data); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

// A folder that is not there any more, moved or renamed: its new place,
// picked as a folder is added, takes its history with it.
void MainWindow::moved() {
  const Folders::Row* row = selectedRow();
  if (row == nullptr) return;
  GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
      filled(_("Where Is %s Now?"), row->name).c_str(), window_,
      GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, _("_Choose"), _("_Cancel"));
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  struct Asked {
    std::weak_ptr<MainWindow> window;
    std::string from;
  };
  g_signal_connect_data(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* dialog, int response, gpointer data) {
        auto* asked = static_cast<Asked*>(data);
        auto window = asked->window.lock();
        GFile* file = response == GTK_RESPONSE_ACCEPT
                          ? gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog))
                          : nullptr;
        char* path = file != nullptr ? g_file_get_path(file) : nullptr;
        if (window && file != nullptr && path == nullptr) {
          window->say(_("Only a folder on this computer can be watched."));
        } else if (window && path != nullptr) {
          window->act(_("Moving its history\u2026"),
                      [from = asked->from, to = std::string(path)](const Folders& folders) {
                        return folders.move(from, to);
                      });
        }
        g_free(path);
        if (file != nullptr) g_object_unref(file);
        gtk_native_dialog_destroy(dialog);
        g_object_unref(dialog);
      }),
      new Asked{weak_from_this(), row->path},
      [](gpointer data, GClosure*) { delete static_cast<Asked*>(data); }, GConnectFlags{});
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

// Whether to keep the history or delete it, asked first.
void MainWindow::stopWatching() {
  const Folders::Row* row = selectedRow();
  if (row == nullptr) return;
  const auto stop = [window = weak_from_this(), path = row->path](bool deleting) {
    return [window, path, deleting] {
      if (auto shown = window.lock()) {
        shown->act(_("Stopping\u2026"), [path, deleting](const Folders& folders) {
          return folders.stopWatching(path, deleting);
        });
      }
    };
  };
  ask(window_, _("Stop Watching"), filled(_("Stop watching %s?"), row->name),
      filled(_("Its history (%s) can be kept, to go on with it if you add the folder again, or "
               "deleted to free the space. The folder itself is left as it is."),
             row->size),
      {{_("_Cancel"), _("Go on watching the folder"), nullptr, {}},
       {_("_Delete History"), _("Delete its versions"), nullptr, stop(true)},
       {_("_Keep History"), _("Keep its versions"), "suggested-action", stop(false)}});
}

void MainWindow::openHistory() {
  const Folders::Row* row = selectedRow();
  if (row == nullptr) return;
  const std::string program = roots::historyWindowProgram();
  if (program.empty()) return say(_("The history window is not installed (tarvine-history)."));
  const char* argv[] = {program.c_str(), "--group", group_.c_str(), row->path.c_str(), nullptr};
  GError* failure = nullptr;
  if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                     nullptr, &failure)) {
    say(filled(_("Cannot show the history: %s"), failure != nullptr ? failure->message : ""));
    g_clear_error(&failure);
  }
}

void MainWindow::openSettings() {
  const Folders::Row* row = selectedRow();
  if (row == nullptr) return;
  auto* settings = new Settings;
  settings->folders = folders_;
  settings->application = application_;
  settings->folder = row->path;
  settings->name = row->name;
  settings->build(window_);
  g_object_set_data_full(G_OBJECT(settings->dialog), "settings", settings,
                         [](gpointer data) { delete static_cast<Settings*>(data); });
  settings->load();
  settings->loadMirrors();
  gtk_window_present(settings->dialog);
}

}  // namespace tarvine::window
