#include "window/HistoryWindow.h"

#include <gio/gdesktopappinfo.h>
#include <glib/gi18n.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "history/Thinning.h"
#include "roots/Language.h"
#include "window/Background.h"
#include "window/FileSizes.h"
#include "window/Widgets.h"

namespace tarvine::window {
namespace {

// The first screen of versions comes alone, so that it shows at once; the
// rest follow.
constexpr std::size_t kFirstScreen = 50;
// A commit renames a lock over the branch: changes this close are one reload.
constexpr guint kReloadAfterMs = 200;
// How often the progress bar pulses while the history is read or written.
constexpr guint kPulseMs = 100;
// An application that ends this soon after it was started, and fails, did
// not show the copy it was handed.
constexpr gint64 kQuickExitUs = 10 * G_USEC_PER_SEC;

std::string nameOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
std::string folderOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A translated printf format filled in.
template <class... Args>
std::string printed(const char* format, Args... args) {
  char* text = g_strdup_printf(format, args...);
  std::string result = text;
  g_free(text);
  return result;
}

// The objects a view touches from its answers and signals, referenced so
// that none is one freed with its window's content (a late answer, or a
// list model that outlives its list view, finds them alive, if unseen); the
// view's handlers on them go with it.
class Held {
 public:
  explicit Held(gpointer owner) : owner_(owner) {}
  ~Held() {
    for (GObject* object : objects_) {
      g_signal_handlers_disconnect_by_data(object, owner_);
      g_object_unref(object);
    }
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  template <class T>
  T* operator()(T* object) {
    objects_.push_back(G_OBJECT(g_object_ref(object)));
    return object;
  }

 private:
  gpointer owner_;
  std::vector<GObject*> objects_;
};

// A window of the application's over `parent`, closed with it.
GtkWindow* dialogOver(GtkWindow* parent, GApplication* application, const std::string& title,
                      int width, int height) {
  GtkWindow* dialog = GTK_WINDOW(gtk_window_new());
  // The application's, so that its shortcuts (Ctrl+W) work there too.
  gtk_window_set_application(dialog, GTK_APPLICATION(application));
  gtk_window_set_transient_for(dialog, parent);
  gtk_window_set_destroy_with_parent(dialog, TRUE);
  gtk_window_set_title(dialog, title.c_str());
  gtk_window_set_default_size(dialog, width, height);
  gtk_window_set_titlebar(dialog, gtk_header_bar_new());
  return dialog;
}

// A view kept with the window that shows it, until that window is freed.
template <class View>
void keepWith(GtkWindow* dialog, std::shared_ptr<View> view) {
  g_object_set_data_full(G_OBJECT(dialog), "view", new std::shared_ptr<View>(std::move(view)),
                         [](gpointer data) { delete static_cast<std::shared_ptr<View>*>(data); });
}

}  // namespace

// A version's files in a window of their own: a list view over their paths,
// filtered by the names typed, and the file picked there opened or restored
// through the main window. It lives as long as that window.
struct HistoryWindow::FilesView {
  std::weak_ptr<HistoryWindow> window;
  std::string version;
  std::vector<history::VersionFile> files;  // sorted by path
  // The sizes of the rows in sight, read as they come in sight, and the rows
  // shown by path, to show again once theirs are in.
  FileSizes sizes{files};
  std::map<std::string, GtkListItem*> shown = {};
  // Gone with the view: what a reading answers later is dropped.
  std::shared_ptr<int> alive = std::make_shared<int>();
  GtkFilterListModel* filtered = nullptr;
  GtkSingleSelection* selection = nullptr;
  GtkLabel* count = nullptr;
  GtkWidget* openButton = nullptr;
  GtkWidget* restoreButton = nullptr;
  GtkWidget* compareButton = nullptr;
  GtkWidget* saveButton = nullptr;
  GtkWindow* dialog = nullptr;
  Held held{this};

  const char* picked() const { return stringOf(gtk_single_selection_get_selected_item(selection)); }

  void compareOrSave(bool saving) const {
    const char* below = picked();
    auto shown = window.lock();
    if (below == nullptr || !shown) return;
    if (saving) {
      shown->saveCopy(version, below, dialog);
    } else {
      shown->compare(version, below);
    }
  }

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
    const std::string text =
        gtk_filter_list_model_get_pending(filtered) > 0 ? std::string(_("Filtering\u2026"))
        : shown == files.size()
            ? printed(ngettext("%zu file", "%zu files", files.size()), files.size())
            : printed(ngettext("%u of %zu file match", "%u of %zu files match", files.size()),
                      shown, files.size());
    gtk_label_set_text(count, text.c_str());
    gtk_widget_set_sensitive(openButton, picked() != nullptr);
    gtk_widget_set_sensitive(restoreButton, picked() != nullptr);
    gtk_widget_set_sensitive(compareButton, picked() != nullptr);
    gtk_widget_set_sensitive(saveButton, picked() != nullptr);
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
    auto* view = static_cast<FilesView*>(self);
    const char* path = stringOf(gtk_list_item_get_item(item));
    if (path == nullptr) return;
    view->shown[path] = item;
    view->show(item, path);
    if (view->sizes.ask(path)) view->readSizes();
  }

  static void unbind(GtkSignalListItemFactory*, GtkListItem* item, gpointer self) {
    const char* path = stringOf(gtk_list_item_get_item(item));
    auto& shown = static_cast<FilesView*>(self)->shown;
    if (auto found = path != nullptr ? shown.find(path) : shown.end();
        found != shown.end() && found->second == item) {
      shown.erase(found);
    }
  }

  void show(GtkListItem* item, const char* path) const {
    const history::VersionFile* file = HistoryModel::fileAt(files, path);
    if (file == nullptr) return;
    const std::string detail = HistoryModel::fileDetail(*file);
    GtkWidget* line = gtk_list_item_get_child(item);
    GtkWidget* name = gtk_widget_get_first_child(line);
    gtk_label_set_text(GTK_LABEL(name), path);
    gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(name)), detail.c_str());
    describeRow(line, detail.empty()
                          ? std::string(path)
                          // TRANSLATORS: a file of a version, as a screen reader says
                          // it: its path in the folder, and its size ("12 bytes") or
                          // "link".
                          : roots::language::formatted(_("%s, %s"), path, detail.c_str()));
  }

  // Once this frame's rows are bound, their sizes are read together in the
  // background, and the rows still showing them shown again.
  void readSizes() {
    struct Due {
      std::weak_ptr<int> alive;
      FilesView* view;
    };
    g_idle_add_once(
        [](gpointer data) {
          std::unique_ptr<Due> due(static_cast<Due*>(data));
          auto window = due->alive.lock() ? due->view->window.lock() : nullptr;
          if (!window) return;
          FilesView* view = due->view;
          auto paths = std::make_shared<std::vector<std::string>>(view->sizes.take());
          if (paths->empty()) return;
          auto model = window->model_;
          inBackground<Result<std::vector<std::optional<std::uint64_t>>>>(
              window->application_,
              [model, version = view->version, paths] { return model->fileSizes(version, *paths); },
              [alive = std::weak_ptr<int>(view->alive), view,
               paths](Result<std::vector<std::optional<std::uint64_t>>>& sizes) {
                if (!alive.lock()) return;
                const bool more = view->sizes.arrived(*paths, sizes);
                for (const std::string& path : *paths) {
                  if (auto row = view->shown.find(path); row != view->shown.end()) {
                    view->show(row->second, path.c_str());
                  }
                }
                if (more) view->readSizes();
              });
        },
        new Due{alive, this});
  }
};

// A version of a file against the file now or another version, in a window
// of its own: what differs in words, and for text the unified diff with its
// added and removed lines marked. Each choice of the other side is compared
// anew in the background; an answer to an earlier choice is dropped.
struct HistoryWindow::CompareView {
  std::weak_ptr<HistoryWindow> window;
  GApplication* application = nullptr;
  std::shared_ptr<HistoryModel> model;
  std::string version, below;
  std::vector<std::string> others;  // "" (the file now), then the other versions' ids
  GtkLabel* summary = nullptr;
  GtkTextBuffer* text = nullptr;
  GtkDropDown* against = nullptr;
  unsigned asked = 0;
  Held held{this};

  void run(const std::shared_ptr<CompareView>& self) {
    const guint chosen = gtk_drop_down_get_selected(against);
    const std::string other = chosen < others.size() ? others[chosen] : "";
    const unsigned question = ++asked;
    gtk_label_set_text(summary, _("Comparing\u2026"));
    gtk_text_buffer_set_text(text, "", 0);
    std::weak_ptr<CompareView> weak = self;
    auto model = this->model;
    inBackground<Result<HistoryModel::Compared>>(
        application,
        [model, version = version, other, below = below] {
          return model->compare(version, other, below);
        },
        [weak, question](Result<HistoryModel::Compared>& compared) {
          auto view = weak.lock();
          if (!view || question != view->asked) return;
          if (!compared.ok()) {
            gtk_label_set_text(view->summary, compared.status().message().c_str());
            return;
          }
          gtk_label_set_text(view->summary, compared->summary.c_str());
          view->show(compared->diff);
        });
  }

  // The diff, a line at a time, each marked by what it is.
  void show(const std::string& diff) const {
    GtkTextIter end;
    gtk_text_buffer_get_end_iter(text, &end);
    for (std::size_t at = 0; at < diff.size();) {
      std::size_t next = diff.find('\n', at);
      next = next == std::string::npos ? diff.size() : next + 1;
      const std::string_view line(diff.data() + at, next - at);
      const char* tag = line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0 ||
                                line.rfind("diff ", 0) == 0 || line.rfind("index ", 0) == 0
                            ? "header"
                        : line.rfind("@@", 0) == 0 ? "hunk"
                        : line.rfind('+', 0) == 0  ? "added"
                        : line.rfind('-', 0) == 0  ? "removed"
                                                   : nullptr;
      gtk_text_buffer_insert_with_tags_by_name(text, &end, line.data(),
                                               static_cast<int>(line.size()), tag, nullptr);
      at = next;
    }
  }
};

// The files a folder's versions had that are gone now, in a window of their
// own: each opened, saved or restored as the newest version that had it.
struct HistoryWindow::DeletedView {
  std::weak_ptr<HistoryWindow> window;
  std::vector<history::DeletedFile> files;  // sorted by path
  GtkSingleSelection* selection = nullptr;
  GtkWindow* dialog = nullptr;
  std::vector<GtkWidget*> buttons;
  Held held{this};

  const history::DeletedFile* picked() const {
    const char* path = stringOf(gtk_single_selection_get_selected_item(selection));
    return path != nullptr ? HistoryModel::deletedAt(files, path) : nullptr;
  }
  enum class Act { open, save, restore };
  void act(Act what) const {
    const history::DeletedFile* file = picked();
    auto shown = window.lock();
    if (file == nullptr || !shown) return;
    switch (what) {
      case Act::open:
        return shown->open(file->lastSeen, file->path);
      case Act::save:
        return shown->saveCopy(file->lastSeen, file->path, dialog);
      case Act::restore:
        return shown->restore(file->lastSeen, file->path, false);
    }
  }
  void update() const {
    for (GtkWidget* button : buttons) gtk_widget_set_sensitive(button, picked() != nullptr);
  }

  static void bind(GtkSignalListItemFactory*, GtkListItem* item, gpointer self) {
    const char* path = stringOf(gtk_list_item_get_item(item));
    const history::DeletedFile* file =
        path != nullptr ? HistoryModel::deletedAt(static_cast<DeletedView*>(self)->files, path)
                        : nullptr;
    if (file == nullptr) return;
    const std::string detail = HistoryModel::deletedDetail(*file);
    GtkWidget* line = gtk_list_item_get_child(item);
    GtkWidget* name = gtk_widget_get_first_child(line);
    gtk_label_set_text(GTK_LABEL(name), path);
    gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(name)), detail.c_str());
    // TRANSLATORS: a file gone from the folder, as a screen reader says it:
    // its path, then when it was last seen and its size ("last seen 5 minutes
    // ago (date and time), 12 bytes").
    describeRow(line, roots::language::formatted(_("%s, %s"), path, detail.c_str()));
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
  closing_->store(true);
  // The list may still say its selection changed while the window is taken apart.
  g_signal_handlers_disconnect_by_data(selection_, this);
  g_signal_handlers_disconnect_by_data(factory_, this);
  g_object_unref(selection_);
  g_object_unref(factory_);
  if (reloadSoon_ != 0) g_source_remove(reloadSoon_);
  if (pulse_ != 0) g_source_remove(pulse_);
  for (GFileMonitor* monitor : monitors_) {
    g_signal_handlers_disconnect_by_data(monitor, this);
    g_object_unref(monitor);
  }
  for (GObject* object : held_) {
    g_signal_handlers_disconnect_by_data(object, this);
    g_object_unref(object);
  }
}

void HistoryWindow::build() {
  const std::string& target = model_->target();
  gtk_window_set_title(window_, printed(_("%s \u2013 History"), nameOf(target).c_str()).c_str());
  gtk_window_set_default_size(window_, 620, 520);
  buildHeader();
  GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_window_set_child(window_, content);
  gtk_box_append(GTK_BOX(content), buildBanner());
  progress_ = GTK_PROGRESS_BAR(gtk_progress_bar_new());
  describe(GTK_WIDGET(progress_), _("Working"));
  gtk_widget_set_visible(GTK_WIDGET(progress_), FALSE);
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(progress_));

  gtk_box_append(GTK_BOX(content), buildList());
  // What the policy keeps, beside the versions that Keep Always exempts.
  keeps_ = GTK_LABEL(wrapping("", "dim-label"));
  margins(GTK_WIDGET(keeps_), 12, 6);
  gtk_widget_set_visible(GTK_WIDGET(keeps_), FALSE);
  gtk_box_append(GTK_BOX(content), GTK_WIDGET(keeps_));
  gtk_box_append(GTK_BOX(content), buildActions());
  gtk_widget_set_visible(GTK_WIDGET(filesButton_), FALSE);
  gtk_widget_set_visible(GTK_WIDGET(deletedButton_), FALSE);
  // What the answers from the background and the list's signals touch.
  for (GtkWidget* widget :
       {GTK_WIDGET(progress_), GTK_WIDGET(message_), GTK_WIDGET(banner_), GTK_WIDGET(undoButton_),
        GTK_WIDGET(bannerSaveButton_), GTK_WIDGET(empty_), GTK_WIDGET(stack_),
        GTK_WIDGET(openButton_), GTK_WIDGET(filesButton_), GTK_WIDGET(restoreButton_),
        GTK_WIDGET(compareButton_), GTK_WIDGET(saveButton_), GTK_WIDGET(deletedButton_),
        GTK_WIDGET(pinButton_), GTK_WIDGET(keeps_), GTK_WIDGET(snapshotButton_)}) {
    held(widget);
  }
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
  snapshotButton_ =
      button(_("_Snapshot Now"), _("Keep the watched folder as it is now as a new version"),
             G_CALLBACK(+[](GtkButton*, gpointer self) {
               static_cast<HistoryWindow*>(self)->snapshotNow();
             }),
             this);
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), GTK_WIDGET(snapshotButton_));
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
  undoButton_ = button(_("_Undo"), _("Put back what the restore replaced"),
                       G_CALLBACK(+[](GtkButton*, gpointer self) {
                         auto* window = static_cast<HistoryWindow*>(self);
                         window->restore(window->undo_, window->undoBelow_, true);
                       }),
                       this);
  // Where a version could not be opened: saved where the user picks instead.
  bannerSaveButton_ = button(
      _("Save a _Copy\u2026"), _("Write the version you tried to open to a place you choose"),
      G_CALLBACK(+[](GtkButton*, gpointer self) {
        auto* window = static_cast<HistoryWindow*>(self);
        window->saveCopy(window->saveVersion_, window->saveBelow_, window->window_);
      }),
      this);
  gtk_widget_set_valign(GTK_WIDGET(bannerSaveButton_), GTK_ALIGN_START);
  gtk_widget_set_visible(GTK_WIDGET(bannerSaveButton_), FALSE);
  gtk_box_append(GTK_BOX(bannerBox), GTK_WIDGET(message_));
  gtk_box_append(GTK_BOX(bannerBox), GTK_WIDGET(bannerSaveButton_));
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
  describe(spinner, _("Loading the versions"));
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
                     gtk_box_append(GTK_BOX(first), label(_("Kept always"), "accent"));
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
  describe(GTK_WIDGET(view), _("Versions, newest first"));
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
  openButton_ = button(_("_Open"), _("Open a read-only copy of this version"),
                       G_CALLBACK(+[](GtkButton*, gpointer self) {
                         auto* window = static_cast<HistoryWindow*>(self);
                         if (const auto* row = window->selectedRow())
                           window->open(row->version.id, "");
                       }),
                       this);
  filesButton_ = button(_("Show _Files"), _("The folder's files as this version has them"),
                        G_CALLBACK(+[](GtkButton*, gpointer self) {
                          static_cast<HistoryWindow*>(self)->showFiles();
                        }),
                        this);
  restoreButton_ =
      button(_("_Restore"), _("Bring this version back; the current state is kept first"),
             G_CALLBACK(+[](GtkButton*, gpointer self) {
               auto* window = static_cast<HistoryWindow*>(self);
               if (const auto* row = window->selectedRow()) {
                 window->restore(row->version.id, "", false);
               }
             }),
             this);
  compareButton_ = button(_("_Compare"), _("This version against the file now, or another version"),
                          G_CALLBACK(+[](GtkButton*, gpointer self) {
                            auto* window = static_cast<HistoryWindow*>(self);
                            if (const auto* row = window->selectedRow())
                              window->compare(row->version.id, "");
                          }),
                          this);
  saveButton_ = button(_("Save a _Copy\u2026"),
                       _("Write this version to a place you choose; the original stays as it is"),
                       G_CALLBACK(+[](GtkButton*, gpointer self) {
                         auto* window = static_cast<HistoryWindow*>(self);
                         if (const auto* row = window->selectedRow())
                           window->saveCopy(row->version.id, "", window->window_);
                       }),
                       this);
  deletedButton_ =
      button(_("_Deleted Files"), _("Files the versions hold that are gone from the folder now"),
             G_CALLBACK(+[](GtkButton*, gpointer self) {
               static_cast<HistoryWindow*>(self)->showDeleted();
             }),
             this);
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(openButton_));
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(compareButton_));
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(filesButton_));
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(saveButton_));
  gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), GTK_WIDGET(deletedButton_));
  pinButton_ = button(_("Keep _Always"), _("Keep this version whatever the folder's policy says"),
                      G_CALLBACK(+[](GtkButton*, gpointer self) {
                        static_cast<HistoryWindow*>(self)->togglePin();
                      }),
                      this);
  gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), GTK_WIDGET(restoreButton_));
  gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), GTK_WIDGET(pinButton_));
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
            text += std::string("\n\n") +
                    _("Pick Enable History on its folder in the file manager's History menu, "
                      "or run: tarvine watch FOLDER");
          }
          gtk_label_set_text(window->empty_, text.c_str());
          gtk_stack_set_visible_child_name(window->stack_, "empty");
          // No longer known: the folder may not be watched any more.
          gtk_widget_set_visible(GTK_WIDGET(window->keeps_), FALSE);
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
  gtk_label_set_text(keeps_, listing_.keeps.c_str());
  gtk_widget_set_visible(GTK_WIDGET(keeps_), !listing_.keeps.empty());
  gtk_widget_set_visible(GTK_WIDGET(openButton_), !listing_.isFolder);
  gtk_widget_set_visible(GTK_WIDGET(filesButton_), listing_.isFolder);
  gtk_widget_set_visible(GTK_WIDGET(compareButton_), !listing_.isFolder);
  gtk_widget_set_visible(GTK_WIDGET(deletedButton_), listing_.isFolder);
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
    gtk_label_set_text(
        empty_, printed(_("No versions of %s yet.\n\nA version is kept at each snapshot of its "
                          "watched folder: pick Snapshot Now in the History menu, or wait for "
                          "the automatic snapshot after the next change."),
                        name.c_str())
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
  GtkWidget* pinned = gtk_widget_get_next_sibling(what);
  gtk_widget_set_visible(pinned, row.pinned);
  gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(pinned)), row.when.c_str());
  const std::string second =
      // TRANSLATORS: a version's second line in the history window: its date
      // and time, then what it changed ("3 files changed", "12 bytes, differs
      // from now").
      roots::language::formatted(_("%s \u00b7 %s"), row.at.c_str(), row.detail.c_str());
  gtk_label_set_text(GTK_LABEL(gtk_widget_get_next_sibling(first)), second.c_str());
  describeRow(lines, row.label);
}

// New snapshots move the history's branch: its folder of references changes.
// A pin is a reference of its own (made and removed by `tarvine pin` as by
// the window), and the policy is in the history's settings.
void HistoryWindow::follow(const std::string& repository) {
  if (!monitors_.empty() || repository.empty()) return;
  watch(repository + "refs/heads");
  // Missing until the first pin: GIO notices when it is made.
  watch(repository + std::string(history::kPinnedRefs));
  // Settings are renamed into place; references may be packed.
  watch(repository, {"config", "packed-refs"});
}

void HistoryWindow::watch(const std::string& path, std::vector<std::string> names) {
  GFile* file = g_file_new_for_path(path.c_str());
  GFileMonitor* monitor =
      g_file_monitor_directory(file, G_FILE_MONITOR_WATCH_MOVES, nullptr, nullptr);
  g_object_unref(file);
  if (monitor == nullptr) return;
  monitors_.push_back(monitor);
  if (!names.empty()) {
    g_object_set_data_full(
        G_OBJECT(monitor), "names", new std::vector<std::string>(std::move(names)),
        [](gpointer data) { delete static_cast<std::vector<std::string>*>(data); });
  }
  g_signal_connect(monitor, "changed",
                   G_CALLBACK(+[](GFileMonitor* monitor, GFile* file, GFile* other,
                                  GFileMonitorEvent, gpointer self) {
                     auto* window = static_cast<HistoryWindow*>(self);
                     if (const auto* names = static_cast<const std::vector<std::string>*>(
                             g_object_get_data(G_OBJECT(monitor), "names"))) {
                       const auto named = [names](GFile* changed) {
                         if (changed == nullptr) return false;
                         char* name = g_file_get_basename(changed);
                         const bool found =
                             name != nullptr &&
                             std::find(names->begin(), names->end(), name) != names->end();
                         g_free(name);
                         return found;
                       };
                       if (!named(file) && !named(other)) return;
                     }
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
  gtk_widget_set_sensitive(GTK_WIDGET(saveButton_), present);
  // A version where the file was deleted compares as "not there" with now.
  gtk_widget_set_sensitive(GTK_WIDGET(compareButton_), chosen);
  // Any version can be kept: one where the file was deleted holds the folder.
  gtk_widget_set_sensitive(GTK_WIDGET(pinButton_), chosen);
  const bool pinned = selectedRow() != nullptr && selectedRow()->pinned;
  retitle(GTK_WIDGET(pinButton_), pinned ? _("Let the _Policy Decide") : _("Keep _Always"));
  gtk_widget_set_tooltip_text(GTK_WIDGET(pinButton_),
                              pinned ? _("Let the folder's policy decide whether to keep this "
                                         "version, as it does for the others")
                                     : _("Keep this version whatever the folder's policy says"));
  gtk_widget_set_sensitive(GTK_WIDGET(deletedButton_), !working_);
  gtk_widget_set_sensitive(GTK_WIDGET(snapshotButton_), !working_);
  gtk_widget_set_sensitive(GTK_WIDGET(bannerSaveButton_), !working_);
  gtk_widget_set_sensitive(GTK_WIDGET(undoButton_), !working_);
}

void HistoryWindow::busy(const char* what) {
  working_ = true;
  selected();
  startPulsing(progress_, what, &pulse_);
}

void HistoryWindow::idle() {
  working_ = false;
  stopPulsing(progress_, &pulse_);
  selected();
}

void HistoryWindow::say(const std::string& message, bool offerUndo) {
  gtk_label_set_text(message_, message.c_str());
  gtk_widget_set_visible(GTK_WIDGET(undoButton_), offerUndo);
  gtk_widget_set_visible(GTK_WIDGET(bannerSaveButton_), FALSE);
  gtk_revealer_set_reveal_child(banner_, TRUE);
}

Result<std::string> HistoryWindow::copiesFolder() {
  if (copies_->empty()) {
    // In the user's runtime folder, which the session empties at logout: a
    // window that could not tidy up (its display gone) leaves nothing for long.
    std::string folder = std::string(g_get_user_runtime_dir()) + "/tarvine-versions-XXXXXX";
    if (g_mkdtemp(folder.data()) == nullptr) {
      return Status::error(
          printed(_("cannot make a folder for the copy: %s"), std::strerror(errno)));
    }
    *copies_ = folder;
  }
  return *copies_;
}

void HistoryWindow::open(const std::string& version, const std::string& below) {
  if (working_) return;
  auto folder = copiesFolder();
  if (!folder.ok()) return say(folder.status().message());
  busy(_("Copying the version\u2026"));
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  // The copy, and what kind of file it is by its content, for the
  // application that opens that kind.
  struct Copied {
    Result<std::string> copy;
    std::string type;
  };
  inBackground<Copied>(
      application_,
      [model, version, below, folder = *folder] {
        Copied copied{model->copyOf(version, folder, below), ""};
        if (!copied.copy.ok()) return copied;
        GFile* file = g_file_new_for_path(copied.copy->c_str());
        GFileInfo* info = g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                            G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
        if (info != nullptr && g_file_info_get_content_type(info) != nullptr) {
          copied.type = g_file_info_get_content_type(info);
        }
        g_clear_object(&info);
        g_object_unref(file);
        return copied;
      },
      [self, version, below](Copied& copied) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!copied.copy.ok()) {
          return window->say(
              printed(_("Cannot open the version: %s"), copied.copy.status().message().c_str()));
        }
        window->opened(*copied.copy, copied.type, version, below);
      });
}

void HistoryWindow::offerSave(const std::string& message, const std::string& version,
                              const std::string& below) {
  say(message);
  saveVersion_ = version;
  saveBelow_ = below;
  gtk_widget_set_visible(GTK_WIDGET(bannerSaveButton_), TRUE);
}

// Hands the copy to the user's default application for its kind, and says
// what became of it: no application for it, one that could not be started,
// or one that ended at once with a failure (as one that runs in a terminal
// does when no terminal shows it). Each time, Save a Copy is offered instead.
void HistoryWindow::opened(const std::string& copy, const std::string& contentType,
                           const std::string& version, const std::string& below) {
  GAppInfo* application =
      contentType.empty() ? nullptr : g_app_info_get_default_for_type(contentType.c_str(), FALSE);
  if (application == nullptr) {
    char* kind = g_content_type_get_description(contentType.empty() ? "application/octet-stream"
                                                                    : contentType.c_str());
    offerSave(printed(_("No application is set to open files of this kind (%s). A read-only "
                        "copy is at %s."),
                      kind, copy.c_str()),
              version, below);
    g_free(kind);
    return;
  }
  const std::string name = g_app_info_get_display_name(application);
  const bool inTerminal =
      G_IS_DESKTOP_APP_INFO(application) &&
      g_desktop_app_info_get_boolean(G_DESKTOP_APP_INFO(application), "Terminal");
  GFile* file = g_file_new_for_path(copy.c_str());
  char* uri = g_file_get_uri(file);
  g_object_unref(file);
  GList uris{uri, nullptr, nullptr};
  GError* failure = nullptr;
  GPid pid = 0;
  bool launched;
  if (G_IS_DESKTOP_APP_INFO(application)) {
    // Started as a child of ours, so that its end is seen.
    launched = g_desktop_app_info_launch_uris_as_manager(
        G_DESKTOP_APP_INFO(application), &uris, nullptr,
        static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr,
        [](GDesktopAppInfo*, GPid started, gpointer pid) { *static_cast<GPid*>(pid) = started; },
        &pid, &failure);
  } else {
    launched = g_app_info_launch_uris(application, &uris, nullptr, &failure);
  }
  g_free(uri);
  g_object_unref(application);
  if (!launched) {
    const std::string why = failure != nullptr ? failure->message : "";
    g_clear_error(&failure);
    return offerSave(printed(inTerminal ? _("%s runs in a terminal and could not be started: "
                                            "%s. A read-only copy is at %s.")
                                        : _("%s could not be started: %s. A read-only copy is "
                                            "at %s."),
                             name.c_str(), why.c_str(), copy.c_str()),
                     version, below);
  }
  say(printed(_("Opened a read-only copy with %s: %s"), name.c_str(), copy.c_str()));
  if (pid <= 0) return;
  struct Watch {
    std::weak_ptr<HistoryWindow> window;
    std::string name, copy, version, below;
    bool inTerminal;
    gint64 started;
  };
  g_child_watch_add(
      pid,
      [](GPid pid, gint status, gpointer data) {
        std::unique_ptr<Watch> watch(static_cast<Watch*>(data));
        g_spawn_close_pid(pid);
        auto window = watch->window.lock();
        GError* failure = nullptr;
        if (window && g_get_monotonic_time() - watch->started < kQuickExitUs &&
            !g_spawn_check_wait_status(status, &failure)) {
          window->offerSave(
              printed(watch->inTerminal ? _("%s, which runs in a terminal, ended at once without "
                                            "showing the copy (%s). A read-only copy is at %s.")
                                        : _("%s ended at once without showing the copy (%s). A "
                                            "read-only copy is at %s."),
                      watch->name.c_str(), failure->message, watch->copy.c_str()),
              watch->version, watch->below);
        }
        g_clear_error(&failure);
      },
      new Watch{weak_from_this(), name, copy, version, below, inTerminal, g_get_monotonic_time()});
}

void HistoryWindow::restore(const std::string& version, const std::string& below, bool undoing) {
  if (working_ || version.empty()) return;
  busy(undoing ? _("Undoing the restore\u2026") : _("Restoring\u2026"));
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
          window->say(printed(_("Undone: %s is as it was before the restore."), name.c_str()));
        } else {
          window->undo_ = restored->undo;
          window->undoBelow_ = below;
          std::string text = printed(ngettext("Restored %s (%zu file written).",
                                              "Restored %s (%zu files written).", written),
                                     name.c_str(), written);
          // Left as they were: what they hold could not be read to keep it first.
          if (!restored->notReplaced.empty()) {
            text += std::string("\n") + _("Not replaced, as they could not be read:");
            for (const std::string& file : restored->notReplaced) text += "\n" + file;
          }
          window->say(text, !window->undo_.empty());
        }
        window->load(SIZE_MAX);
      });
}

void HistoryWindow::togglePin() {
  const HistoryModel::Row* row = selectedRow();
  if (row == nullptr || working_) return;
  const std::string version = row->version.id;
  const bool pinning = !row->pinned;
  busy(pinning ? _("Keeping the version\u2026") : _("Letting the policy decide\u2026"));
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<std::string>>(
      application_,
      [model, version, pinning] { return pinning ? model->pin(version) : model->unpin(version); },
      [self, pinning](Result<std::string>& done) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!done.ok()) {
          return window->say(printed(pinning ? _("Cannot keep the version always: %s")
                                             : _("Cannot let the policy decide: %s"),
                                     done.status().message().c_str()));
        }
        window->say(pinning ? _("This version is kept whatever the policy says.")
                            : _("The policy decides again whether this version is kept."));
        // Shown at once, whether or not the change is seen in the history.
        window->load(SIZE_MAX);
      });
}

void HistoryWindow::snapshotNow() {
  if (working_) return;
  busy(_("Taking a snapshot\u2026"));
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<std::string>>(
      application_, [model] { return model->snapshot(); },
      [self](Result<std::string>& said) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        window->say(
            said.ok() ? *said
                      : printed(_("Cannot take a snapshot: %s"), said.status().message().c_str()));
        // The new version at once, without waiting for the history's change to be seen.
        window->load(SIZE_MAX);
      });
}

// The folder's files as the selected version has them, each to open or
// restore on its own.
void HistoryWindow::showFiles() {
  const HistoryModel::Row* row = selectedRow();
  if (row == nullptr || working_) return;
  const std::string version = row->version.id, at = row->at;
  busy(_("Reading the version\u2026"));
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  inBackground<Result<std::vector<history::VersionFile>>>(
      application_, [model, version] { return model->fileList(version); },
      [self, version, at](Result<std::vector<history::VersionFile>>& files) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!files.ok()) return window->say(files.status().message());
        auto* view = new FilesView{window, version, std::move(*files)};
        GtkWindow* dialog = dialogOver(
            window->window_, window->application_,
            printed(_("Files of %s at %s"), nameOf(window->model_->target()).c_str(), at.c_str()),
            520, 440);
        view->dialog = dialog;
        g_object_set_data_full(G_OBJECT(dialog), "files", view,
                               [](gpointer data) { delete static_cast<FilesView*>(data); });
        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_window_set_child(dialog, box);

        // The filter box: typing anywhere in the window goes there.
        GtkWidget* search = gtk_search_entry_new();
        g_object_set(search, "placeholder-text", _("Filter by name"), nullptr);
        describe(search, _("Filter by name"));
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
        g_signal_connect(factory, "unbind", G_CALLBACK(FilesView::unbind), view);
        view->held(factory);
        GtkListView* list = listView(G_LIST_MODEL(view->filtered), factory, &view->selection);
        describe(GTK_WIDGET(list), _("Files of this version"));
        gtk_box_append(GTK_BOX(box), scrolled(GTK_WIDGET(list)));

        // The buttons act on the file selected, through the main window; a
        // double click or Enter opens it.
        GtkWidget* actions = gtk_action_bar_new();
        view->count = GTK_LABEL(label("", "dim-label"));
        view->openButton =
            GTK_WIDGET(button(_("_Open"), _("Open a read-only copy of this file as it was"),
                              G_CALLBACK(+[](GtkButton*, gpointer view) {
                                static_cast<FilesView*>(view)->act(false);
                              }),
                              view));
        view->restoreButton = GTK_WIDGET(button(_("_Restore"), _("Bring this file back as it was"),
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
        view->compareButton =
            GTK_WIDGET(button(_("_Compare"), _("This file as it was against the file now"),
                              G_CALLBACK(+[](GtkButton*, gpointer view) {
                                static_cast<FilesView*>(view)->compareOrSave(false);
                              }),
                              view));
        view->saveButton = GTK_WIDGET(button(_("Save a _Copy\u2026"),
                                             _("Write this file as it was to a place you choose"),
                                             G_CALLBACK(+[](GtkButton*, gpointer view) {
                                               static_cast<FilesView*>(view)->compareOrSave(true);
                                             }),
                                             view));
        for (GtkWidget* widget : {view->openButton, view->restoreButton, view->compareButton,
                                  view->saveButton, GTK_WIDGET(view->count)}) {
          view->held(widget);
        }
        view->held(view->selection);
        view->held(view->filtered);
        view->update();
        gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), view->openButton);
        gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), view->compareButton);
        gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), view->saveButton);
        gtk_action_bar_set_center_widget(GTK_ACTION_BAR(actions), GTK_WIDGET(view->count));
        gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), view->restoreButton);
        gtk_box_append(GTK_BOX(box), actions);
        gtk_window_present(dialog);
      });
}

// `version` of the file (or of the file `below` a folder target) against the
// file now, or against another version chosen there.
void HistoryWindow::compare(const std::string& version, const std::string& below) {
  auto view = std::make_shared<CompareView>();
  view->window = weak_from_this();
  view->application = application_;
  view->model = model_;
  view->version = version;
  view->below = below;
  const std::string name = nameOf(below.empty() ? model_->target() : below);
  std::string at;
  std::vector<std::string> labels{_("The file now")};
  view->others.push_back("");
  for (const HistoryModel::Row& row : listing_.rows) {
    if (row.version.id == version) {
      at = row.at;
      continue;
    }
    view->others.push_back(row.version.id);
    // TRANSLATORS: a version to compare with: what kind of version ("Manual
    // snapshot"), then its date and time.
    labels.push_back(roots::language::formatted(_("%s, %s"), row.what.c_str(), row.at.c_str()));
  }
  GtkWindow* dialog = dialogOver(
      window_, application_, printed(_("Compare %s as of %s"), name.c_str(), at.c_str()), 720, 520);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_window_set_child(dialog, box);

  GtkWidget* choice = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  margins(choice, 12, 6);
  GtkWidget* title = gtk_label_new_with_mnemonic(_("Compare _with:"));
  std::vector<const char*> strings;
  for (const std::string& text : labels) strings.push_back(text.c_str());
  strings.push_back(nullptr);
  view->against = GTK_DROP_DOWN(gtk_drop_down_new_from_strings(strings.data()));
  // Which names it for screen readers too.
  gtk_label_set_mnemonic_widget(GTK_LABEL(title), GTK_WIDGET(view->against));
  gtk_widget_set_hexpand(GTK_WIDGET(view->against), TRUE);
  gtk_box_append(GTK_BOX(choice), title);
  gtk_box_append(GTK_BOX(choice), GTK_WIDGET(view->against));
  gtk_box_append(GTK_BOX(box), choice);

  view->summary = GTK_LABEL(label(""));
  gtk_label_set_wrap(view->summary, TRUE);
  gtk_label_set_ellipsize(view->summary, PANGO_ELLIPSIZE_NONE);
  gtk_label_set_selectable(view->summary, TRUE);
  margins(GTK_WIDGET(view->summary), 12, 0);
  gtk_box_append(GTK_BOX(box), GTK_WIDGET(view->summary));

  GtkWidget* differences = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(differences), FALSE);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(differences), TRUE);
  gtk_text_view_set_left_margin(GTK_TEXT_VIEW(differences), 6);
  describe(differences, _("Differences"));
  view->text = gtk_text_view_get_buffer(GTK_TEXT_VIEW(differences));
  gtk_text_buffer_create_tag(view->text, "header", "weight", PANGO_WEIGHT_BOLD, nullptr);
  gtk_text_buffer_create_tag(view->text, "hunk", "foreground", "#1c5fb0", nullptr);
  gtk_text_buffer_create_tag(view->text, "added", "paragraph-background", "#dafbe1", "foreground",
                             "#116329", nullptr);
  gtk_text_buffer_create_tag(view->text, "removed", "paragraph-background", "#ffebe9", "foreground",
                             "#82071e", nullptr);
  gtk_box_append(GTK_BOX(box), scrolled(differences));

  view->held(view->against);
  view->held(view->summary);
  view->held(view->text);
  g_signal_connect(view->against, "notify::selected",
                   G_CALLBACK(+[](GObject* against, GParamSpec*, gpointer) {
                     auto* kept = static_cast<std::shared_ptr<CompareView>*>(g_object_get_data(
                         G_OBJECT(gtk_widget_get_root(GTK_WIDGET(against))), "view"));
                     if (kept != nullptr) (*kept)->run(*kept);
                   }),
                   view.get());
  keepWith(dialog, view);
  view->run(view);
  gtk_window_present(dialog);
}

// Asks where the copy goes (the desktop's file chooser, through its portal
// where there is one), then writes it there in the background, with its
// progress for a folder.
void HistoryWindow::saveCopy(const std::string& version, const std::string& below,
                             GtkWindow* parent) {
  if (working_ || version.empty()) return;
  const std::string name = nameOf(below.empty() ? model_->target() : below);
  GtkFileChooserNative* chooser =
      gtk_file_chooser_native_new(printed(_("Save a Copy of %s"), name.c_str()).c_str(), parent,
                                  GTK_FILE_CHOOSER_ACTION_SAVE, _("_Save"), _("_Cancel"));
  gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), TRUE);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name.c_str());
  // In the user's home, not the folder the program happened to start in.
  GFile* home = g_file_new_for_path(g_get_home_dir());
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), home, nullptr);
  g_object_unref(home);
  struct Asked {
    std::weak_ptr<HistoryWindow> window;
    std::string version, below;
  };
  g_object_set_data_full(G_OBJECT(chooser), "asked", new Asked{weak_from_this(), version, below},
                         [](gpointer data) { delete static_cast<Asked*>(data); });
  g_signal_connect(
      chooser, "response", G_CALLBACK(+[](GtkNativeDialog* chooser, int response, gpointer) {
        const auto* asked = static_cast<Asked*>(g_object_get_data(G_OBJECT(chooser), "asked"));
        GFile* file = response == GTK_RESPONSE_ACCEPT
                          ? gtk_file_chooser_get_file(GTK_FILE_CHOOSER(chooser))
                          : nullptr;
        char* path = file != nullptr ? g_file_get_path(file) : nullptr;
        if (auto window = asked->window.lock(); window && path != nullptr) {
          window->saveTo(asked->version, asked->below, path);
        }
        g_free(path);
        g_clear_object(&file);
        g_object_unref(chooser);
      }),
      nullptr);
  gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
}

void HistoryWindow::saveTo(const std::string& version, const std::string& below,
                           const std::string& destination) {
  if (working_) return;
  busy(_("Saving a copy\u2026"));
  // What the copy has done so far, written by its thread, shown by a timer.
  struct Progress {
    std::mutex lock;
    std::optional<history::CopyProgress> latest;
  };
  struct Shown {
    GtkProgressBar* bar;
    std::shared_ptr<Progress> progress;
  };
  auto progress = std::make_shared<Progress>();
  g_source_remove(pulse_);
  pulse_ = g_timeout_add_full(
      G_PRIORITY_DEFAULT, kPulseMs,
      [](gpointer data) -> gboolean {
        auto* shown = static_cast<Shown*>(data);
        std::optional<history::CopyProgress> latest;
        {
          std::lock_guard<std::mutex> held(shown->progress->lock);
          latest = shown->progress->latest;
        }
        if (!latest || latest->allFiles < 2) {
          gtk_progress_bar_pulse(shown->bar);
        } else {
          gtk_progress_bar_set_fraction(
              shown->bar,
              latest->allBytes > 0
                  ? static_cast<double>(latest->bytes) / static_cast<double>(latest->allBytes)
                  : static_cast<double>(latest->files) / static_cast<double>(latest->allFiles));
          gtk_progress_bar_set_text(shown->bar, HistoryModel::copyProgress(*latest).c_str());
        }
        return G_SOURCE_CONTINUE;
      },
      new Shown{progress_, progress}, [](gpointer data) { delete static_cast<Shown*>(data); });
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  auto closing = closing_;
  inBackground<Status>(
      application_,
      [model, version, below, destination, progress, closing] {
        return model->saveCopy(version, destination, below, [&](const history::CopyProgress& done) {
          std::lock_guard<std::mutex> held(progress->lock);
          progress->latest = done;
          return !closing->load();
        });
      },
      [self, destination](Status& saved) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        window->say(saved.ok() ? printed(_("Saved a copy at %s."), destination.c_str())
                               : printed(_("Cannot save the copy: %s"), saved.message().c_str()));
      });
}

// The files the folder's versions hold that are gone from it now.
void HistoryWindow::showDeleted() {
  if (working_) return;
  busy(_("Looking for deleted files\u2026"));
  std::weak_ptr<HistoryWindow> self = weak_from_this();
  auto model = model_;
  auto closing = closing_;
  inBackground<Result<std::vector<history::DeletedFile>>>(
      application_, [model, closing] { return model->deletedFiles(closing.get()); },
      [self](Result<std::vector<history::DeletedFile>>& files) {
        auto window = self.lock();
        if (!window) return;
        window->idle();
        if (!files.ok()) return window->say(files.status().message());
        auto view = std::make_shared<DeletedView>();
        view->window = window;
        view->files = std::move(*files);
        GtkWindow* dialog = dialogOver(
            window->window_, window->application_,
            printed(_("Deleted files of %s"), nameOf(window->model_->target()).c_str()), 560, 440);
        view->dialog = dialog;
        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
        gtk_window_set_child(dialog, box);
        std::vector<const char*> paths;
        for (const history::DeletedFile& file : view->files) paths.push_back(file.path.c_str());
        paths.push_back(nullptr);
        GtkListItemFactory* factory = gtk_signal_list_item_factory_new();
        g_signal_connect(factory, "setup", G_CALLBACK(FilesView::setup), nullptr);
        g_signal_connect(factory, "bind", G_CALLBACK(DeletedView::bind), view.get());
        view->held(factory);
        GtkListView* list =
            listView(G_LIST_MODEL(gtk_string_list_new(paths.data())), factory, &view->selection);
        view->held(view->selection);
        describe(GTK_WIDGET(list), _("Deleted files"));
        if (view->files.empty()) {
          GtkWidget* none = gtk_label_new(
              _("No deleted files: every file the versions hold is in the folder now."));
          gtk_label_set_wrap(GTK_LABEL(none), TRUE);
          margins(none, 24, 24);
          gtk_box_append(GTK_BOX(box), none);
        }
        gtk_box_append(GTK_BOX(box), scrolled(GTK_WIDGET(list)));

        GtkWidget* actions = gtk_action_bar_new();
        const struct {
          const char* title;
          const char* tooltip;
          DeletedView::Act act;
        } buttons[] = {
            {_("_Open"), _("Open a read-only copy of this file as it last was"),
             DeletedView::Act::open},
            {_("Save a _Copy\u2026"), _("Write this file as it last was to a place you choose"),
             DeletedView::Act::save},
            {_("_Restore"), _("Bring this file back into the folder as it last was"),
             DeletedView::Act::restore},
        };
        for (const auto& each : buttons) {
          GtkWidget* made = GTK_WIDGET(
              button(each.title, each.tooltip, G_CALLBACK(+[](GtkButton* pressed, gpointer view) {
                       static_cast<DeletedView*>(view)->act(static_cast<DeletedView::Act>(
                           GPOINTER_TO_INT(g_object_get_data(G_OBJECT(pressed), "act"))));
                     }),
                     view.get()));
          g_object_set_data(G_OBJECT(made), "act", GINT_TO_POINTER(static_cast<int>(each.act)));
          view->buttons.push_back(view->held(made));
          if (each.act == DeletedView::Act::restore) {
            gtk_action_bar_pack_end(GTK_ACTION_BAR(actions), made);
          } else {
            gtk_action_bar_pack_start(GTK_ACTION_BAR(actions), made);
          }
        }
        GtkWidget* count =
            label(printed(ngettext("%zu deleted file", "%zu deleted files", view->files.size()),
                          view->files.size()),
                  "dim-label");
        gtk_action_bar_set_center_widget(GTK_ACTION_BAR(actions), count);
        gtk_box_append(GTK_BOX(box), actions);
        g_signal_connect(view->selection, "notify::selected",
                         G_CALLBACK(+[](GObject*, GParamSpec*, gpointer view) {
                           static_cast<DeletedView*>(view)->update();
                         }),
                         view.get());
        g_signal_connect(list, "activate", G_CALLBACK(+[](GtkListView*, guint, gpointer view) {
                           static_cast<DeletedView*>(view)->act(DeletedView::Act::open);
                         }),
                         view.get());
        view->held(list);
        view->update();
        keepWith(dialog, view);
        gtk_window_present(dialog);
      });
}

}  // namespace tarvine::window
