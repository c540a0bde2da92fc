#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"
#include "roots/Keeper.h"
#include "roots/Preferences.h"

namespace tarvine::app {

// One notification, in the words made here: what the desktop shows, and what
// clicking it (and its one button, if any) does: an action of the
// application's (Notifications::*Action) with its target.
struct Notice {
  std::string id;  // a later notice with the same id replaces this one
  std::string title, body;
  bool urgent = false;
  struct Action {
    std::string name;
    std::string path;     // a root, a folder or a restored path
    std::string version;  // undo-restore's only
  };
  Action click;
  std::optional<std::pair<std::string, Action>> button;  // its label, and what it does
};

// Where notices go: the desktop's notification service, or a test's double.
class NoticeSender {
 public:
  virtual ~NoticeSender() = default;
  virtual void send(const Notice& notice) = 0;
  virtual void withdraw(const std::string& id) = 0;
};

// What the application tells the user of, and when: a root that became
// unavailable and one that is back, a snapshot that failed (once until one
// succeeds again), files a snapshot left out because they could not be read
// (each file once for each reason, remembered across runs in the container),
// a damaged history repaired, and each restore with what it wrote and its undo. Nothing is sent
// while the user has them turned off (roots::Preferences), but what happened is still followed, so
// that turning them on does not bring back old news. Made from the Keeper's outcomes (their kinds,
// never their messages' text); runs on one thread.
class Notifications {
 public:
  // The application's actions that notices name (as "app.NAME"), each taking a
  // path as a bytestring ("ay", as a path need not be UTF-8), which the main
  // window may take over later:
  // a root's notice (unavailable, back, a snapshot that failed, a history
  // repaired): the root;
  static constexpr std::string_view showRootAction = "show-root";
  // files left out: the folder that holds them, in the file manager;
  static constexpr std::string_view showFolderAction = "show-folder";
  // a restore: the history of what was restored;
  static constexpr std::string_view showHistoryAction = "show-history";
  // a restore's button: that path back as it was before ("(ays)": the path,
  // and the version that holds its state from before the restore).
  static constexpr std::string_view undoRestoreAction = "undo-restore";

  // What was told already, in the container.
  static constexpr std::string_view toldFileName = "notifications-told.json";
  // Files of one root told of and remembered at most; past that, more are
  // not told (the first notices said there are many).
  static constexpr std::size_t maxToldPerRoot = 10000;

  Notifications(NoticeSender& sender, std::string container);

  void snapshotted(const std::string& root, const Result<roots::Keeper::Taken>& taken);
  void availability(const std::string& root, const Status& status);
  // A damaged history set back to its newest intact snapshot as it was opened.
  void healed(const roots::Keeper::Healing& healing);
  // `undoing`: the restore was a notice's undo.
  void restored(const std::string& path, const Result<history::Restored>& restored,
                bool undoing = false);
  // A push to the mirror `url` of `root` in the application's quiet moments,
  // with the failures in a row now (app/QuietMirrors.h). Told once
  // mirrorFailuresTold of them are in a row, and not again until a push
  // succeeds (across restarts too), which takes the notice back.
  void mirrorPushed(const std::string& root, const std::string& url, const Status& status,
                    int failures);
  // The mirrors of every root with their failures in a row as recorded
  // (QuietMirrors::Setting::listed): one told of that a push has reached
  // since (by hand too), or that is no longer listed, is taken back and may
  // be told of again.
  void mirrorsListed(const std::map<std::pair<std::string, std::string>, std::int64_t>& failures);
  // Three: pushes are tried again after one minute, then two, so the third
  // failure in a row comes at least three minutes after the first. A disk
  // plugged in a little late or a network that comes back after a suspend
  // fails once or twice and is no news; a mirror still failing after that
  // wants the user.
  static constexpr int mirrorFailuresTold = 3;

 private:
  bool on() { return preferences_.current().notifications; }
  void send(const Notice& notice);
  void remember();

  NoticeSender& sender_;
  std::string container_;
  roots::PreferencesFile preferences_;
  std::set<std::string> unavailable_;
  std::map<std::string, std::string> failed_;          // root: the failure told (failureName)
  using Told = std::set<std::pair<std::string, int>>;  // (path below the root, Skipped::Kind)
  std::map<std::string, Told> unreadable_;
  std::set<std::pair<std::string, std::string>> mirrorsFailing_;  // (root, url) told of
};

}  // namespace tarvine::app
