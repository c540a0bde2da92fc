#pragma once

#include <gtk/gtk.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "roots/Keeper.h"
#include "window/HistoryModel.h"

namespace tarvine::window {

// The window of one file's or folder's history: its versions newest first,
// and Open, Compare, Save a Copy, Restore (with its undo), Keep Always and,
// for a folder, Show Files and Deleted Files on the one selected, with what
// the folder's policy keeps, and Snapshot Now. It follows new snapshots, pins and policies while
// open. What reads the history runs in the background; the window only shows
// and asks.
class HistoryWindow : public std::enable_shared_from_this<HistoryWindow> {
 public:
  // `copies`: where opened versions are copied (made on first use).
  static std::shared_ptr<HistoryWindow> create(GtkApplication* application, roots::Keeper& keeper,
                                               const std::string& target,
                                               std::shared_ptr<std::string> copies);
  ~HistoryWindow();

  GtkWindow* window() const { return window_; }
  void present() { gtk_window_present(window_); }

 private:
  struct FilesView;
  struct CompareView;
  struct DeletedView;
  HistoryWindow(GtkApplication* application, roots::Keeper& keeper, const std::string& target,
                std::shared_ptr<std::string> copies);
  void build();
  void buildHeader();
  GtkWidget* buildBanner();
  GtkWidget* buildList();
  void bindVersion(GtkListItem* item) const;
  GtkWidget* buildActions();
  void load(std::size_t limit);
  void show(HistoryModel::Listing listing);
  void follow(const std::string& repository);
  // Watches `path` for changes that reload the window; with `names`, only
  // changes to those of its entries.
  void watch(const std::string& path, std::vector<std::string> names = {});
  void selected();
  const HistoryModel::Row* selectedRow() const;
  void open(const std::string& version, const std::string& below);
  void restore(const std::string& version, const std::string& below, bool undoing);
  // The selected version kept always, or left to the policy again.
  void togglePin();
  // A snapshot of the watched folder now, as `tarvine snapshot` takes it.
  void snapshotNow();
  void showFiles();
  void compare(const std::string& version, const std::string& below);
  void saveCopy(const std::string& version, const std::string& below, GtkWindow* parent);
  void saveTo(const std::string& version, const std::string& below, const std::string& destination);
  void showDeleted();
  // What became of a copy handed to the user's default application.
  void opened(const std::string& copy, const std::string& contentType, const std::string& version,
              const std::string& below);
  void offerSave(const std::string& message, const std::string& version, const std::string& below);
  // Takes a reference to `object`, a widget the window touches from its
  // answers and signals, so that it is never one freed with the window's
  // content; let go when the window is.
  template <class T>
  T* held(T* object) {
    held_.push_back(G_OBJECT(g_object_ref(object)));
    return object;
  }
  void busy(const char* what);
  void idle();
  void say(const std::string& message, bool offerUndo = false);
  Result<std::string> copiesFolder();

  GApplication* application_;
  std::shared_ptr<HistoryModel> model_;
  std::shared_ptr<std::string> copies_;
  HistoryModel::Listing listing_;
  std::string undo_, undoBelow_;  // the last restore's undo: a version, and what of the target
  bool working_ = false;
  // Set when the window goes: what still runs for it stops.
  std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
  std::string saveVersion_, saveBelow_;  // what the banner's Save a Copy saves
  std::vector<GObject*> held_;
  guint reloadSoon_ = 0;
  guint pulse_ = 0;

  GtkWindow* window_ = nullptr;
  GtkStack* stack_ = nullptr;
  // The versions: one label each, in a list view that makes rows only for
  // what shows; a row's position is its index in listing_.rows.
  GtkStringList* versionLabels_ = nullptr;
  GtkSingleSelection* selection_ = nullptr;
  GtkListItemFactory* factory_ = nullptr;
  GtkLabel* empty_ = nullptr;
  GtkRevealer* banner_ = nullptr;
  GtkLabel* message_ = nullptr;
  GtkButton* undoButton_ = nullptr;
  GtkProgressBar* progress_ = nullptr;
  GtkButton* openButton_ = nullptr;
  GtkButton* restoreButton_ = nullptr;
  GtkButton* filesButton_ = nullptr;
  GtkButton* compareButton_ = nullptr;
  GtkButton* saveButton_ = nullptr;
  GtkButton* deletedButton_ = nullptr;
  GtkButton* bannerSaveButton_ = nullptr;
  GtkButton* pinButton_ = nullptr;
  GtkButton* snapshotButton_ = nullptr;
  GtkLabel* keeps_ = nullptr;
  // The history's branch, its pins and its settings, watched while open.
  std::vector<GFileMonitor*> monitors_;
};

}  // namespace tarvine::window
