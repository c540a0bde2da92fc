#pragma once

#include <gtk/gtk.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "roots/Keeper.h"
#include "window/Folders.h"

namespace tarvine::window {

// The Tarvine window: the watched folders, each with its state, its last
// snapshot, its versions, the space its history takes and what is wrong;
// adding one, and pausing, switching, snapshotting, leaving or opening the
// history of the one selected, and its settings. It follows what the
// command line, the menu and the application change. What reads or writes a
// history runs in the background; the window only shows and asks.
class MainWindow : public std::enable_shared_from_this<MainWindow> {
 public:
  // `group`: the container's group, handed on to the history window.
  static std::shared_ptr<MainWindow> create(GtkApplication* application, roots::Keeper& keeper,
                                            std::string group);
  ~MainWindow();

  GtkWindow* window() const { return window_; }
  void present() { gtk_window_present(window_); }
  // Selects the watched folder `folder`, now or once the list shows it.
  void select(const std::string& folder);

 private:
  struct Settings;
  MainWindow(GtkApplication* application, roots::Keeper& keeper, std::string group);
  void build();
  GtkWidget* buildList();
  GtkWidget* buildActions();
  void bindRow(GtkListItem* item) const;
  void load();
  void reloadSoon();
  void show(std::vector<Folders::Row> rows);
  void follow();
  void followBranches();
  const Folders::Row* selectedRow() const;
  void selected();
  void say(const std::string& message);
  // Runs `change` on the selected folder (or `folder`) in the background,
  // says its answer, and reloads.
  void act(const char* doing, std::function<Result<std::string>(const Folders&)> change);
  void addFolder();
  void moved();
  void stopWatching();
  void openHistory();
  void openSettings();
  void loadNotifications();
  void setNotifications(bool on);

  GApplication* application_;
  std::shared_ptr<Folders> folders_;
  std::string group_;
  std::vector<Folders::Row> rows_;
  std::string wanted_;  // a folder to select once the list shows it
  bool loading_ = false, loadAgain_ = false, working_ = false, updating_ = false;
  bool updatingNotifications_ = false;
  guint reloadSoon_ = 0, refresh_ = 0;

  GtkWindow* window_ = nullptr;
  GtkStack* stack_ = nullptr;
  GtkStringList* labels_ = nullptr;
  GtkSingleSelection* selection_ = nullptr;
  GtkListItemFactory* factory_ = nullptr;
  GtkRevealer* banner_ = nullptr;
  GtkLabel* message_ = nullptr;
  GtkProgressBar* progress_ = nullptr;
  guint pulse_ = 0;
  GtkWidget* snapshotButton_ = nullptr;
  GtkWidget* pauseButton_ = nullptr;
  GtkWidget* automatic_ = nullptr;
  GtkWidget* checkButton_ = nullptr;
  GtkWidget* movedButton_ = nullptr;
  GtkWidget* historyButton_ = nullptr;
  GtkWidget* settingsButton_ = nullptr;
  GtkWidget* stopButton_ = nullptr;
  GtkWidget* notifications_ = nullptr;
  GFileMonitor* manifestMonitor_ = nullptr;
  std::map<std::string, GFileMonitor*> branchMonitors_;
};

}  // namespace tarvine::window
