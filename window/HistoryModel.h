#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"
#include "roots/Keeper.h"

namespace tarvine::window {

// What the history window shows of one file or folder, and what it does
// there; nothing of GTK, so that it is tested on its own. Every call reads
// the history or the folder and may take long: the window makes them off its
// interface thread.
class HistoryModel {
 public:
  // `target`: an absolute path, resolved, inside a watched folder.
  HistoryModel(roots::Keeper& keeper, std::string target)
      : keeper_(keeper), target_(std::move(target)) {}

  struct Row {
    history::Version version;
    std::string what;     // "Manual snapshot", "Before a restore", ...
    std::string when;     // "5 minutes ago"
    std::string at;       // the date and time in the user's locale
    std::string detail;   // "12 bytes, differs from now" or "3 files changed"
    bool pinned = false;  // kept whatever the folder's policy says
    // All of it in one line, for screen readers and the tests that read them.
    std::string label;
  };
  struct Listing {
    bool isFolder = false;
    std::string repository;  // the history's git folder, to follow new snapshots
    std::vector<Row> rows;   // newest first
    bool complete = true;    // false when cut at the limit asked for
    // Said once when the history was found damaged and healed as it was read.
    std::string notice;
    // What the folder's policy keeps, as `tarvine keep FOLDER` says it, so
    // that keeping a version always makes sense beside it.
    std::string keeps;
  };
  // The target's versions, at most `limit` of them, described as of `now`.
  Result<Listing> load(std::size_t limit = SIZE_MAX, std::int64_t now = std::time(nullptr)) const;

  // A read-only copy of the file as `version` has it (`below`: a file inside
  // a folder target) below `folder`, in a folder of that version and path,
  // kept under its own name; its path.
  Result<std::string> copyOf(const std::string& version, const std::string& folder,
                             const std::string& below = "") const;

  // The target (or the file `below` it) back to `version`, as the menu's
  // Restore Previous does it: what was done, and how to undo it.
  Result<history::Restored> restore(const std::string& version,
                                    const std::string& below = "") const;

  // A snapshot of the watched folder that holds the target, now, as
  // `tarvine snapshot` takes it (and packs after it): what it did, in words.
  Result<std::string> snapshot() const;

  // Keeps `version` whatever the folder's policy says, or lets the policy
  // decide about it again, as `tarvine pin` and `unpin` do: the full id.
  Result<std::string> pin(const std::string& version) const;
  Result<std::string> unpin(const std::string& version) const;

  // The files of a folder target as `version` has them, sorted by path
  // (byte by byte), so that fileAt finds them.
  Result<std::vector<history::VersionFile>> files(const std::string& version) const;

  // The same without the sizes of files kept whole (`sized` false), but
  // those of the first `sized` files, the first screen: fileSizes reads the
  // others' as they come in sight (FileSizes). On a history of loose
  // objects, each size costs an open and an inflate.
  Result<std::vector<history::VersionFile>> fileList(const std::string& version,
                                                     std::size_t sized = kFirstSized) const;
  static constexpr std::size_t kFirstSized = 100;
  // The sizes of the files `paths` of `version`, as fileList gives them.
  Result<std::vector<std::optional<std::uint64_t>>> fileSizes(
      const std::string& version, const std::vector<std::string>& paths) const;

  // The file at `path` in `files` as files() gives them, or null: the window
  // keeps the files once, and its list of paths finds each one's details here.
  static const history::VersionFile* fileAt(const std::vector<history::VersionFile>& files,
                                            std::string_view path);
  // What the list of files says beside a path: "link", or its size (nothing
  // while it is not read).
  static std::string fileDetail(const history::VersionFile& file);

  // Compare: the file (or the file `below` a folder target) as `version` has
  // it, against version `other`, or, when `other` is empty, against the file
  // now. `summary` says whether they differ and their sizes; `diff` is the
  // unified diff when both are text.
  struct Compared {
    bool differs = false;
    std::string summary;
    std::string diff;
  };
  Result<Compared> compare(const std::string& version, const std::string& other,
                           const std::string& below = "") const;

  // Save a Copy: the target (or the file `below` it) as `version` has it,
  // written to `destination`, never over the original; `progress` as
  // History::saveCopy has it.
  Status saveCopy(const std::string& version, const std::string& destination,
                  const std::string& below = "",
                  const std::function<bool(const history::CopyProgress&)>& progress = {}) const;
  // "12 of 300 files (1.2 MB of 40 MB)".
  static std::string copyProgress(const history::CopyProgress& progress);

  // Deleted files of a folder target, sorted by path, each with the version
  // that last had it: to open, save or restore with that version.
  Result<std::vector<history::DeletedFile>> deletedFiles(
      const std::atomic<bool>* stop = nullptr) const;
  static const history::DeletedFile* deletedAt(const std::vector<history::DeletedFile>& files,
                                               std::string_view path);
  // What the list says beside a deleted file: "last seen 3 days ago (date), 12 bytes".
  static std::string deletedDetail(const history::DeletedFile& file,
                                   std::int64_t now = std::time(nullptr));

  const std::string& target() const { return target_; }

 private:
  std::string pathOf(const std::string& below) const {
    return below.empty() ? target_ : target_ + "/" + below;
  }

  roots::Keeper& keeper_;
  std::string target_;
};

// "just now", "5 minutes ago", "yesterday", "3 days ago"; past a month, the date.
std::string relativeTime(std::int64_t then, std::int64_t now);
// The date and time in the user's locale.
std::string localTime(std::int64_t time);

}  // namespace tarvine::window
