#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "roots/Keeper.h"

namespace tarvine::window {

// What the Tarvine window shows of the watched folders, and what it does to
// them, through the Keeper as the command line does; nothing of GTK, so that
// it is tested on its own. Every call reads or writes the roots or their
// histories and may take long: the window makes them off its interface thread.
class Folders {
 public:
  explicit Folders(roots::Keeper& keeper) : keeper_(keeper) {}

  enum class State { automatic, manual, paused, unavailable, damaged };
  struct Row {
    std::string path;
    std::string name;  // the folder's own name
    State state = State::automatic;
    std::string stateText;  // "Automatic", "Paused", ...
    bool automatic = true;  // its mode, whatever its state: a snapshot after each change
    std::size_t versions = 0;
    std::string when;  // "5 minutes ago", or that there is no snapshot yet
    std::string at;    // the newest snapshot's date and time, in the user's locale
    std::string size;  // the history's size on disk, as `tarvine roots` says it
    // What is wrong, in words, with what to do about it; empty when nothing is.
    std::string problem;
    // All of it in one line, for screen readers and the tests that read them.
    std::string label;
  };
  // Every watched folder, in the manifest's order, described as of `now`.
  Result<std::vector<Row>> load(std::int64_t now = std::time(nullptr)) const;

  // Each answers what was done, in words, or why it was not.
  Result<std::string> add(const std::string& folder) const;
  Result<std::string> pause(const std::string& folder) const;
  Result<std::string> resume(const std::string& folder) const;
  Result<std::string> setAutomatic(const std::string& folder, bool automatic) const;
  Result<std::string> snapshot(const std::string& folder) const;
  // Stops watching `folder`; with `deleteHistory`, its history goes too.
  Result<std::string> stopWatching(const std::string& folder, bool deleteHistory) const;

  // The folder's ignore rules, one pattern a line.
  Result<std::vector<std::string>> ignoreRules(const std::string& folder) const;
  Status setIgnoreRules(const std::string& folder, const std::vector<std::string>& patterns) const;
  // What `patterns` would leave out of the folder as it is now, in words.
  Result<std::string> preview(const std::string& folder, const std::vector<std::string>& patterns,
                              const std::atomic<bool>* stop = nullptr) const;

  // The retention policy as people write it, as `tarvine keep` takes it.
  struct Retention {
    std::string tiers;      // "all:1d,1h:7d,1d:90d,1w:forever"
    std::string sizeLimit;  // "none", "500M", "2G"
  };
  Result<Retention> retention(const std::string& folder) const;
  // Refused (invalid) with what is wrong when either cannot be read.
  Result<std::string> setRetention(const std::string& folder, const Retention& retention) const;

  // A verdict on a history or a mirror: whether it is intact, in words.
  struct Verdict {
    bool intact = false;
    std::string text;
  };

  // A folder's mirrors, each with how its pushes went in words, as
  // `tarvine mirror list FOLDER` says it.
  struct MirrorRow {
    std::string url;
    std::string status;  // its last push, what is not pushed yet, its failures
    std::string label;   // both, for screen readers
  };
  Result<std::vector<MirrorRow>> mirrors(const std::string& folder, std::int64_t now = 0) const;
  // `url`: an address (ssh://..., user@host:path) kept as given, or a path
  // on this machine, made a bare repository when there is none yet.
  Result<std::string> addMirror(const std::string& folder, const std::string& url) const;
  Result<std::string> removeMirror(const std::string& folder, const std::string& url) const;
  // Pushes the folder's mirror `url` now, telling `progress` (on this thread)
  // the objects sent of all.
  Result<std::string> pushMirror(const std::string& folder, const std::string& url,
                                 const std::function<void(double)>& progress = {}) const;

  // Every object the mirror `url` of the folder reaches read and verified,
  // as `tarvine check --mirror FOLDER` does, in words (a server's from a copy
  // fetched whole).
  Result<Verdict> checkMirror(const std::string& folder, const std::string& url) const;

  // Every version of the folder's history read and verified, as `tarvine
  // check FOLDER` does: the verdict, and for a damaged history what is
  // damaged and what to do. A failure only when it could not be checked.
  Result<Verdict> check(const std::string& folder) const;

  // Thinning to the retention policy now, as `tarvine thin`: `dryRun` only
  // says what would go. `versions` is how many would go (or went).
  struct Thinned {
    std::size_t versions = 0;
    std::string text;
  };
  Result<Thinned> thin(const std::string& folder, bool dryRun) const;

  // The whole history packed into one pack, as `tarvine pack` (snapshots
  // pack what they add on their own).
  Result<std::string> pack(const std::string& folder) const;

  // The watched folder `from`, no longer there, is `to` now (moved or
  // renamed), with its history, as `tarvine move`.
  Result<std::string> move(const std::string& from, const std::string& to) const;

  // The histories of folders no longer watched (`tarvine roots --orphans`).
  struct OrphanRow {
    std::string folder;  // empty when its history does not say
    std::string size;
    std::string label;
  };
  Result<std::vector<OrphanRow>> orphans() const;
  // Deletes the kept history of `folder`, as `tarvine forget`.
  Result<std::string> forget(const std::string& folder) const;

  // A mirrored history brought back into the empty or new `folder` (its
  // newest version, or `version`) and watched with its mirror kept, as
  // `tarvine adopt`.
  Result<std::string> adopt(const std::string& url, const std::string& folder,
                            const std::string& version = "",
                            const std::function<void(double)>& progress = {}) const;

  // Whether the application tells the desktop of problems and restores, as
  // `tarvine notifications` says and sets it.
  Result<bool> notifications() const;
  Status setNotifications(bool on) const;

  // The files that change when something changes the roots or takes a
  // snapshot, for the window to follow: the manifest's folder, and each
  // history's folder of branches.
  std::string manifestFolder() const;
  std::string branchesOf(const std::string& folder) const;

 private:
  roots::Keeper& keeper_;
};

}  // namespace tarvine::window
