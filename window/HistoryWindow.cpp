#include "window/HistoryWindow.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "window/Background.h"

namespace tarvine::window {
namespace {

// The first screen of versions comes alone, so that it shows at once; the
// rest follow.
constexpr std::size_t kFirstScreen = 50;
// A commit renames a lock over the branch: changes this close are one reload.
constexpr guint kReloadAfterMs = 200;
// How often the progress bar pulses while the history is read or written.
constexpr guint kPulseMs = 100;

std::string nameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
std::string folderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

GtkWidget* label(const std::string& text, const char* cssClass = nullptr) {
  GtkWidget* widget = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(widget), 0);
  gtk_label_set_ellipsize(GTK_LABEL(widget), PANGO_ELLIPSIZE_END);
  if (cssClass != nullptr) gtk_widget_add_css_class(widget, cssClass);
  return widget;
}

void margins(GtkWidget* widget, int sides, int ends) {
  gtk_widget_set_margin_start(widget, sides);
  gtk_widget_set_margin_end(widget, sides);
  gtk_widget_set_margin_top(widget, ends);
  gtk_widget_set_margin_bottom(widget, ends);
}

void describe(GtkWidget* widget, const std::string& text) {
  gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 text.c_str(), -1);
}

GtkButton* button(const char* mnemonic, const char* tooltip, GCallback clicked, gpointer self) {
  // The title as a label of its own that names the button: GTK 4.8 would
  // otherwise have screen readers say a button's title twice, once with its
  // mnemonic's mark.
  GtkWidget* widget = gtk_button_new();
  GtkWidget* title = gtk_label_new_with_mnemonic(mnemonic);
  gtk_label_set_mnemonic_widget(GTK_LABEL(title), widget);
  gtk_button_set_child(GTK_BUTTON(widget), title);
  gtk_widget_set_tooltip_text(widget, tooltip);
  g_signal_connect(widget, "clicked", clicked, self);
  return GTK_BUTTON(widget);
}

// Names a list view's row for screen readers: the row GTK made around
// `child`, which is what takes the focus (GTK 4.8 has no call for it).
void describeRow(GtkWidget* child, const std::string& text) {
  GtkWidget* row = gtk_widget_get_parent(child);
  describe(row != nullptr ? row : child, text);
}

const char* stringOf(gpointer item) {
  return item != nullptr ? gtk_string_object_get_string(GTK_STRING_OBJECT(item)) : nullptr;
}

// A list view over `model`, one selected at a time, nothing at first.
GtkListView* listView(GListModel* model, GtkListItemFactory* factory,
                      GtkSingleSelection** selection) {
  *selection = gtk_single_selection_new(model);
  gtk_single_selection_set_autoselect(*selection, FALSE);
  gtk_single_selection_set_can_unselect(*selection, TRUE);
  gtk_single_selection_set_selected(*selection, GTK_INVALID_LIST_POSITION);
  return GTK_LIST_VIEW(gtk_list_view_new(GTK_SELECTION_MODEL(*selection), factory));
}

GtkWidget* scrolled(GtkWidget* child) {
  GtkWidget* widget = gtk_scrolled_window_new();
  gtk_widget_set_vexpand(widget, TRUE);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(widget), child);
  return widget;
}

// Opens `path` with the user's default application for it.
std::string launch(const std::string& path) {
  GFile* file = g_file_new_for_path(path.c_str());
  char* uri = g_file_get_uri(file);
  g_object_unref(file);
  GError* failure = nullptr;
  const bool launched = g_app_info_launch_default_for_uri(uri, nullptr, &failure);
  g_free(uri);
  std::string why = launched ? "" : (failure != nullptr ? failure->message : "unknown error");
  g_clear_error(&failure);
  return why;
}

}  // namespace

// A version's files in a window of their own: a list view over their paths,
// filtered by the names typed, and the file picked there opened or restored
// through the main window. It lives as long as that window.
struct HistoryWindow::FilesView {
  std::weak_ptr<HistoryWindow> window;
  std::string version;
  std::vector<history::VersionFile> files;  // sorted by path
  GtkFilterListModel* filtered = nullptr;
  GtkSingleSelection* selection = nullptr;
  GtkLabel* count = nullptr;
  GtkWidget* openButton = nullptr;
  GtkWidget* restoreButton = nullptr;

  const char* picked() const { return stringOf(gtk_single_selection_get_selected_item(selection)); }

  void act(bool restoring) const {
    const char* below = picked();
    auto shown = window.lock();
    if (below == nullptr || !shown) return;
    if (restoring) {
      shown->restore(version, below, false);
    } else {
      shown->open(version, below);
    }
  }

  // How many files show, of how many; and whether one is picked to act on.
  void update() const {
    const guint shown = g_list_model_get_n_items(G_LIST_MODEL(filtered));
    const std::string all = std::to_string(files.size());
    const std::string text = gtk_filter_list_model_get_pending(filtered) > 0 ? "Filtering\u2026"
                             : shown == files.size()
                                 ? all + (files.size() == 1 ? " file" : " files")
                                 : std::to_string(shown) + " of " + all + " files match";
    gtk_label_set_text(count, text.c_str());
    gtk_widget_set_sensitive(openButton, picked() != nullptr);
    gtk_widget_set_sensitive(restoreButton, picked() != nullptr);
  }

  static void setup(GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
    GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    margins(line, 12, 4);
    GtkWidget* path = label("");
    gtk_label_set_ellipsize(GTK_LABEL(path), PANGO_ELLIPSIZE_MIDDLE);
    gtk_widget_set_hexpand(path, TRUE);
    gtk_box_append(GTK_BOX(line), path);
    gtk_box_append(GTK_BOX(line), label("", "dim-label"));
    gtk_list_item_set_child(item, line);
  }

  static void bind(GtkSignalListItemFactory*, GtkListItem* item, gpointer self) {
    const char* path = stringOf(gtk_list_item_get_item(item));
    const history::VersionFile* file =
        path != nullptr ? HistoryModel::fileAt(static_cast<FilesView*>(self)->files, path)
                        : nullptr;
    if (file == nullptr) return;
    const std::string detail = HistoryModel::fileDetail(*file);
    GtkWidget* line = gtk_list_item_get_child(item);
    GtkWidget* name = gtk_widget_get_first_child(line);
    gtk_label_set_text(GTK_LABEL(name), path);
    gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(name)), detail.c_str());
    describeRow(line, std::string(path) + ", " + detail);
  }
};

std::shared_ptr<HistoryWindow> HistoryWindow::create(GtkApplication* application,
                                                     roots::Keeper& keeper,
                                                     const std::string& target,
                                                     std::shared_ptr<std::string> copies) {
  std::shared_ptr<HistoryWindow> window(
      new HistoryWindow(application, keeper, target, std::move(copies)));
  window->build();
  window->load(kFirstScreen);
  return window;
}

HistoryWindow::HistoryWindow(GtkApplication* application, roots::Keeper& keeper,
                             const std::string& target, std::shared_ptr<std::string> copies)
    : application_(G_APPLICATION(application)),
      model_(std::make_shared<HistoryModel>(keeper, target)),
      copies_(std::move(copies)) {
  window_ = GTK_WINDOW(gtk_application_window_new(application));
}

HistoryWindow::~HistoryWindow() {
  // The list may still say its selection changed while the window is taken apart.
  g_signal_handlers_disconnect_by_data(selection_, this);
  g_signal_handlers_disconnect_by_data(factory_, this);
  g_object_unref(selection_);
  g_object_unref(factory_);
  if (reloadSoon_ != 0) g_source_remove(reloadSoon_);
  if (pulse_ != 0) g_source_remove(pulse_);
  if (monitor_ != nullptr) {
    g_signal_handlers_disconnect_by_data(monitor_, this);
    g_object_unref(monitor_);
  }
}

void HistoryWindow::build() {
  const std::string& target = model_->target();
  gtk_window_set_title(window_, (nameOf(target) + " \u2013 History").c_str());
  gtk_window_set_default_size(window_, 620, 520);
  buildHeader();
  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_window_set_child(window_, content);
  gtk_box_append(GTK_BOX(content), buildBanner());
  progress_ = GTK_PROGRESS_BAR(gtk_progress_bar_new());
  describe(GTK_WIDGET(progress_), "Working");
  gtk_widget_set_visible(GTK_WIDGET(progress_), FALSE);
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(progress_));

  gtk_box_append(GTK_BOX(content), buildList());
  gtk_box_append(GTK_BOX(content), buildActions());
  gtk_widget_set_visible(GTK_WIDGET(filesButton_), FALSE);
  selected();
}

void HistoryWindow::buildHeader() {
  const std::string& target = model_->target();
  // The header: what this is the history of, and where it is.
  GtkWidget* header = gtk_header_bar_new();
  GtkWidget* titles = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_valign(titles, GTK_ALIGN_CENTER);
  GtkWidget* title = label(nameOf(target), "title");
  GtkWidget* subtitle = label(folderOf(target), "subtitle");
  gtk_label_set_xalign(GTK_LABEL(title), 0.5);
  gtk_label_set_xalign(GTK_LABEL(subtitle), 0.5);
  gtk_box_append(GTK_BOX(titles), title);
  gtk_box_append(GTK_BOX(titles), subtitle);
  gtk_header_bar_set_title_widget(GTK_HEADER_BAR(header), titles);
  gtk_window_set_titlebar(window_, header);
}

GtkWidget* HistoryWindow::buildBanner() {
  // What was done, or went wrong, with the undo of a restore.
  banner_ = GTK_REVEALER(gtk_revealer_new());
  GtkWidget* bannerBox = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  margins(bannerBox, 12, 8);
  message_ = GTK_LABEL(label(""));
  gtk_label_set_wrap(message_, TRUE);
  gtk_label_set_ellipsize(message_, PANGO_ELLIPSIZE_NONE);
  gtk_label_set_selectable(message_, TRUE);
  gtk_widget_set_hexpand(GTK_WIDGET(message_), TRUE);
  undoButton_ = button("_Undo", "Put back what the restore replaced",
                       G_CALLBACK(+[](GtkButton*, gpointer self) {
                         auto* window = static_cast<HistoryWindow*>(self);
                         window->restore(window->undo_, window->undoBelow_, true);
                       }),
                       this);
  gtk_box_append(GTK_BOX(bannerBox), GTK_WIDGET(message_));
  gtk_box_append(GTK_BOX(bannerBox), GTK_WIDGET(undoButton_));
  gtk_revealer_set_child(banner_, bannerBox);
  return GTK_WIDGET(banner_);
}

// The versions, or a spinner while they load, or why there are none.
GtkWidget* HistoryWindow::buildList() {
  stack_ = GTK_STACK(gtk_stack_new());
  gtk_widget_set_vexpand(GTK_WIDGET(stack_), TRUE);
  GtkWidget* spinner = gtk_spinner_new();
  gtk_spinner_start(GTK_SPINNER(spinner));
  describe(spinner, "Loading the versions");
  gtk_stack_add_named(stack_, spinner, "loading");
  empty_ = GTK_LABEL(gtk_label_new(""));
  gtk_label_set_wrap(empty_, TRUE);
  gtk_label_set_justify(empty_, GTK_JUSTIFY_CENTER);
  margins(GTK_WIDGET(empty_), 36, 0);
  gtk_stack_add_named(stack_, GTK_WIDGET(empty_), "empty");
  versionLabels_ = gtk_string_list_new(nullptr);
  factory_ = gtk_signal_list_item_factory_new();
  g_signal_connect(factory_, "setup",
                   G_CALLBACK(+[](GtkSignalListItemFactory*, GtkListItem* item, gpointer) {
                     GtkWidget* lines = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
                     margins(lines, 12, 6);
                     GtkWidget* first = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
                     GtkWidget* what = label("", "heading");
                     gtk_widget_set_hexpand(what, TRUE);
                     gtk_box_append(GTK_BOX(first), what);
                     gtk_box_append(GTK_BOX(first), label(""));
                     gtk_box_append(GTK_BOX(lines), first);
                     gtk_box_append(GTK_BOX(lines), label("", "dim-label"));
                     gtk_list_item_set_child(item, lines);
                   }),
                   nullptr);
  g_signal_connect(factory_, "bind",
                   G_CALLBACK(+[](GtkSignalListItemFactory*, GtkListItem* item, gpointer self) {
                     static_cast<const HistoryWindow*>(self)->bindVersion(item);
                   }),
                   this);
  // The view owns the selection, which owns the labels, and the factory.
  GtkListView* view = listView(G_LIST_MODEL(versionLabels_), factory_, &selection_);
  // Held until the window's own handlers are gone, whichever goes first.
  g_object_ref(selection_);
  g_object_ref(factory_);
  describe(GTK_WIDGET(view), "Versions, newest first");
  g_signal_connect(selection_, "notify::selected",
                   G_CALLBACK(+[](GtkSingleSelection*, GParamSpec*, gpointer self) {
                     static_cast<HistoryWindow*>(self)->selected();
                   }),
                   this);
  // A click selects; a double click or Enter opens.
  g_signal_connect(view, "activate", G_CALLBACK(+[](GtkListView*, guint, gpointer self) {
                     auto* window = static_cast<HistoryWindow*>(self);
                     if (window->listing_.isFolder) {
                       window->showFiles();
                     } else if (const auto* row = window->selectedRow()) {
                       window->open(row->version.id, "");
                     }
                   }),
                   this);
  gtk_stack_add_named(stack_, scrolled(GTK_WIDGET(view)), "list");
  gtk_stack_set_visible_child_name(stack_, "loading");
  return GTK_WIDGET(stack_);
}

GtkWidget* HistoryWindow::buildActions() {
  GtkWidget* actions = gtk_action_bar_new();
  openButton_ = button("_Open", "Open a read-only copy of this version",
                       G_CALLBACK(+[](GtkButton*, gpointer self) {
                         auto* window = static_cast<HistoryWindow*>(self);
                         if (const auto* row = window->selectedRow())
                           window->open(row->version.id, "");
                       }),
                       this);
  filesButton_ = button("Show _Files", "The folder's files as this version has them",
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          static_cast<HistoryWindow*>(self)->showFiles();
                        }),
                        this);
  restoreButton_ = button("_Restore", "Bring this version back; the current state is kept first",
                          G_CALLBACK(+[](GtkButton*, gpointer self) {
                            auto* window = static_cast<HistoryWindow*>(self);
                            if (const auto* row = window->selectedRow()) {
                              window->restore(row->version.id, "", false);
                            }
                          }),
                          this);
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(openButton_));
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(filesButton_));
  gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), GTK_WIDGET(restoreButton_));
  return actions;
}

void HistoryWindow::load(std::size_t limit) {
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<HistoryModel::Listing>>(
      application_, [model, limit] { return model->load(limit); },
      [self, limit](Result<HistoryModel::Listing>& listing) {
        auto window = self.lock();
        if (!window) return;
        if (!listing.ok()) {
          std::string text = listing.status().message();
          if (listing.status().kind() == Status::Kind::notWatched) {
            text +=
                "\n\nPick Enable History on its folder in the file manager's History menu, "
                "or run: tarvine watch FOLDER";
          }
          gtk_label_set_text(window->empty_, text.c_str());
          gtk_stack_set_visible_child_name(window->stack_, "empty");
          return;
        }
        const bool more = !listing->complete;
        window->show(std::move(*listing));
        if (more && limit == kFirstScreen) window->load(SIZE_MAX);
      });
}

void HistoryWindow::show(HistoryModel::Listing listing) {
  const std::string keep = selectedRow() != nullptr ? selectedRow()->version.id : "";
  follow(listing.repository);
  if (!listing.notice.empty()) say(listing.notice);
  listing_ = std::move(listing);
  gtk_widget_set_visible(GTK_WIDGET(openButton_), !listing_.isFolder);
  gtk_widget_set_visible(GTK_WIDGET(filesButton_), listing_.isFolder);
  std::vector<const char*> labels;
  guint reselect = GTK_INVALID_LIST_POSITION;
  for (const HistoryModel::Row& row : listing_.rows) {
    if (row.version.id == keep) reselect = static_cast<guint>(labels.size());
    labels.push_back(row.label.c_str());
  }
  labels.push_back(nullptr);
  gtk_string_list_splice(versionLabels_, 0, g_list_model_get_n_items(G_LIST_MODEL(versionLabels_)),
                         labels.data());
  gtk_single_selection_set_selected(selection_, reselect);
  if (listing_.rows.empty()) {
    const std::string name = nameOf(model_->target());
    gtk_label_set_text(empty_, ("No versions of " + name +
                                " yet.\n\nA version is kept at each snapshot of its watched "
                                "folder: pick Snapshot Now in the History menu, or wait for the "
                                "automatic snapshot after the next change.")
                                   .c_str());
    gtk_stack_set_visible_child_name(stack_, "empty");
    selected();
    return;
  }
  gtk_stack_set_visible_child_name(stack_, "list");
  selected();
}

// A row made for a version as it scrolls into view.
void HistoryWindow::bindVersion(GtkListItem* item) const {
  const guint position = gtk_list_item_get_position(item);
  if (position >= listing_.rows.size()) return;
  const HistoryModel::Row& row = listing_.rows[position];
  GtkWidget* lines = gtk_list_item_get_child(item);
  GtkWidget* first = gtk_widget_get_first_child(lines);
  GtkWidget* what = gtk_widget_get_first_child(first);
  gtk_label_set_text(GTK_LABEL(what), row.what.c_str());
  gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(what)), row.when.c_str());
  gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(first)),
                     (row.at + " \u00b7 " + row.detail).c_str());
  describeRow(lines, row.label);
}

// New snapshots move the history's branch: its folder of references changes.
void HistoryWindow::follow(const std::string& repository) {
  if (monitor_ != nullptr || repository.empty()) return;
  GFile* heads = g_file_new_for_path((repository + "refs/heads").c_str());
  monitor_ = g_file_monitor_directory(heads, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  g_object_unref(heads);
  if (monitor_ == nullptr) return;
  g_signal_connect(monitor_, "changed",
                   G_CALLBACK(+[](GFileMonitor*, GFile*, GFile*, GFileMonitorEvent, gpointer self) {
                     auto* window = static_cast<HistoryWindow*>(self);
                     if (window->reloadSoon_ != 0) return;
                     // A commit renames a lock over the reference: one reload for both.
                     window->reloadSoon_ = g_timeout_add_once(
                         kReloadAfterMs,
                         [](gpointer self) {
                           auto* window = static_cast<HistoryWindow*>(self);
                           window->reloadSoon_ = 0;
                           window->load(SIZE_MAX);
                         },
                         self);
                   }),
                   this);
}

const HistoryModel::Row* HistoryWindow::selectedRow() const {
  const guint index = gtk_single_selection_get_selected(selection_);
  return index < listing_.rows.size() ? &listing_.rows[index] : nullptr;
}

void HistoryWindow::selected() {
  const bool chosen = selectedRow() != nullptr && !working_;
  const bool present = chosen && selectedRow()->version.change != history::Version::Change::deleted;
  gtk_widget_set_sensitive(GTK_WIDGET(openButton_), present);
  gtk_widget_set_sensitive(GTK_WIDGET(filesButton_), present);
  gtk_widget_set_sensitive(GTK_WIDGET(restoreButton_), present);
  gtk_widget_set_sensitive(GTK_WIDGET(undoButton_), !working_);
}

void HistoryWindow::busy(const char* what) {
  working_ = true;
  selected();
  gtk_progress_bar_set_text(progress_, what);
  gtk_progress_bar_set_show_text(progress_, TRUE);
  gtk_widget_set_visible(GTK_WIDGET(progress_), TRUE);
  pulse_ = g_timeout_add(
      kPulseMs,
      [](gpointer bar) -> gboolean {
        gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar));
        return G_SOURCE_CONTINUE;
      },
      progress_);
}

void HistoryWindow::idle() {
  working_ = false;
  if (pulse_ != 0) g_source_remove(pulse_);
  pulse_ = 0;
  gtk_widget_set_visible(GTK_WIDGET(progress_), FALSE);
  selected();
}

void HistoryWindow::say(const std::string& message, bool offerUndo) {
  gtk_label_set_text(message_, message.c_str());
  gtk_widget_set_visible(GTK_WIDGET(undoButton_), offerUndo);
  gtk_revealer_set_reveal_child(banner_, TRUE);
}

Result<std::string> HistoryWindow::copiesFolder() {
  if (copies_->empty()) {
    // In the user's runtime folder, which the session empties at logout: a
    // window that could not tidy up (its display gone) leaves nothing for long.
    std::string folder = std::string(g_get_user_runtime_dir()) + "/tarvine-versions-XXXXXX";
    if (g_mkdtemp(folder.data()) == nullptr) {
      return Status::error("cannot make a folder for the copy: " +
                           std::string(std::strerror(errno)));
    }
    *copies_ = folder;
  }
  return *copies_;
}

void HistoryWindow::open(const std::string& version, const std::string& below) {
  if (working_) return;
  auto folder = copiesFolder();
  if (!folder.ok()) return say(folder.status().message());
  busy("Copying the version\u2026");
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<std::string>>(
      application_,
      [model, version, below, folder = *folder] { return model->copyOf(version, folder, below); },
      [self](Result<std::string>& copy) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!copy.ok()) return window->say("Cannot open the version: " + copy.status().message());
        const std::string why = launch(*copy);
        window->say(why.empty() ? "Opened a read-only copy: " + *copy
                                : "Saved a read-only copy at " + *copy +
                                      " (no application opens it: " + why + ")");
      });
}

void HistoryWindow::restore(const std::string& version, const std::string& below, bool undoing) {
  if (working_ || version.empty()) return;
  busy(undoing ? "Undoing the restore\u2026" : "Restoring\u2026");
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<history::Restored>>(
      application_, [model, version, below] { return model->restore(version, below); },
      [self, undoing, below](Result<history::Restored>& restored) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!restored.ok()) return window->say(restored.status().message());
        const std::string name = below.empty() ? nameOf(window->model_->target()) : below;
        const std::size_t written = restored->written.size();
        if (undoing) {
          window->undo_.clear();
          window->say("Undone: " + name + " is as it was before the restore.");
        } else {
          window->undo_ = restored->undo;
          window->undoBelow_ = below;
          std::string text = "Restored " + name + " (" + std::to_string(written) +
                             (written == 1 ? " file written)." : " files written).");
          // Left as they were: what they hold could not be read to keep it first.
          if (!restored->notReplaced.empty()) {
            text += "\nNot replaced, as they could not be read:";
            for (const std::string& file : restored->notReplaced) text += "\n" + file;
          }
          window->say(text, !window->undo_.empty());
        }
        window->load(SIZE_MAX);
      });
}

// The folder's files as the selected version has them, each to open or
// restore on its own.
void HistoryWindow::showFiles() {
  const HistoryModel::Row* row = selectedRow();
  if (row == nullptr || working_) return;
  const std::string version = row->version.id, at = row->at;
  busy("Reading the version\u2026");
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<std::vector<history::VersionFile>>>(
      application_, [model, version] { return model->files(version); },
      [self, version, at](Result<std::vector<history::VersionFile>>& files) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!files.ok()) return window->say(files.status().message());
        auto* view = new FilesView{window, version, std::move(*files)};
        GtkWindow* dialog = GTK_WINDOW(gtk_window_new());
        g_object_set_data_full(G_OBJECT(dialog), "files", view,
                               [](gpointer data) { delete static_cast<FilesView*>(data); });
        // The application's, so that its shortcuts (Ctrl+W) work there too.
        gtk_window_set_application(dialog, GTK_APPLICATION(window->application_));
        gtk_window_set_transient_for(dialog, window->window_);
        gtk_window_set_destroy_with_parent(dialog, TRUE);
        gtk_window_set_title(
            dialog, ("Files of " + nameOf(window->model_->target()) + " at " + at).c_str());
        gtk_window_set_default_size(dialog, 520, 440);
        gtk_window_set_titlebar(dialog, gtk_header_bar_new());
        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_window_set_child(dialog, box);

        // The filter box: typing anywhere in the window goes there.
        GtkWidget* search = gtk_search_entry_new();
        g_object_set(search, "placeholder-text", "Filter by name", nullptr);
        describe(search, "Filter by name");
        gtk_search_entry_set_key_capture_widget(GTK_SEARCH_ENTRY(search), GTK_WIDGET(dialog));
        margins(search, 12, 6);
        gtk_box_append(GTK_BOX(box), search);

        // Every path in one list; the view makes rows only for those that
        // show, and the filter runs a slice at a time between frames.
        std::vector<const char*> paths;
        paths.reserve(view->files.size() + 1);
        for (const history::VersionFile& file : view->files) paths.push_back(file.path.c_str());
        paths.push_back(nullptr);
        GtkStringFilter* filter = gtk_string_filter_new(
            gtk_property_expression_new(GTK_TYPE_STRING_OBJECT, nullptr, "string"));
        gtk_string_filter_set_match_mode(filter, GTK_STRING_FILTER_MATCH_MODE_SUBSTRING);
        gtk_string_filter_set_ignore_case(filter, TRUE);
        view->filtered = gtk_filter_list_model_new(G_LIST_MODEL(gtk_string_list_new(paths.data())),
                                                   GTK_FILTER(filter));
        gtk_filter_list_model_set_incremental(view->filtered, TRUE);
        g_signal_connect(search, "search-changed",
                         G_CALLBACK(+[](GtkSearchEntry* entry, gpointer filter) {
                           gtk_string_filter_set_search(GTK_STRING_FILTER(filter),
                                                        gtk_editable_get_text(GTK_EDITABLE(entry)));
                         }),
                         filter);
        // Escape there shows every file again.
        g_signal_connect(search, "stop-search", G_CALLBACK(+[](GtkSearchEntry* entry, gpointer) {
                           gtk_editable_set_text(GTK_EDITABLE(entry), "");
                         }),
                         nullptr);
        GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
        g_signal_connect(factory, "setup", G_CALLBACK(FilesView::setup), nullptr);
        g_signal_connect(factory, "bind", G_CALLBACK(FilesView::bind), view);
        GtkListView* list = listView(G_LIST_MODEL(view->filtered), factory, &view->selection);
        describe(GTK_WIDGET(list), "Files of this version");
        gtk_box_append(GTK_BOX(box), scrolled(GTK_WIDGET(list)));

        // The buttons act on the file selected, through the main window; a
        // double click or Enter opens it.
        GtkWidget* actions = gtk_action_bar_new();
        view->count = GTK_LABEL(label("", "dim-label"));
        view->openButton =
            GTK_WIDGET(button("_Open", "Open a read-only copy of this file as it was",
                              G_CALLBACK(+[](GtkButton*, gpointer view) {
                                static_cast<FilesView*>(view)->act(false);
                              }),
                              view));
        view->restoreButton = GTK_WIDGET(button("_Restore", "Bring this file back as it was",
                                                G_CALLBACK(+[](GtkButton*, gpointer view) {
                                                  static_cast<FilesView*>(view)->act(true);
                                                }),
                                                view));
        g_signal_connect(list, "activate", G_CALLBACK(+[](GtkListView*, guint, gpointer view) {
                           static_cast<FilesView*>(view)->act(false);
                         }),
                         view);
        auto changed = G_CALLBACK(
            +[](GObject*, GParamSpec*, gpointer view) { static_cast<FilesView*>(view)->update(); });
        g_signal_connect(view->selection, "notify::selected", changed, view);
        g_signal_connect(view->filtered, "notify::pending", changed, view);
        g_signal_connect(view->filtered, "items-changed",
                         G_CALLBACK(+[](GListModel*, guint, guint, guint, gpointer view) {
                           static_cast<FilesView*>(view)->update();
                         }),
                         view);
        view->update();
        gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), view->openButton);
        gtk_action_bar_set_center_widget(GTK_ACTION_BAR(actions), GTK_WIDGET(view->count));
        gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), view->restoreButton);
        gtk_box_append(GTK_BOX(box), actions);
        gtk_window_present(dialog);
      });
}

}  // namespace tarvine::window
