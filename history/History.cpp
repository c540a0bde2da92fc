#include "history/History.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "history/Commits.h"
#include "history/Durable.h"
#include "history/GitObjects.h"
#include "history/Intact.h"
#include "history/Loose.h"
#include "history/Privacy.h"
#include "history/StatCache.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "history/TreeWriter.h"
#include "history/Writeback.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

constexpr const char* kIgnoreHelp =
    "# Paths below the watched folder to leave out of its history, one per line,\n"
    "# in .gitignore syntax (for example: *.tmp, build/, !keep.tmp). Nothing is\n"
    "# left out unless it is listed here.\n";
// The ignore rules' file as the last snapshot saw it (the cache's key).
constexpr const char* kIgnoreRulesKey = "ignore-rules";
// Ignore rules are matched against a working folder: an empty one of the
// history's own, so that no .gitignore of the watched folder is read.
constexpr const char* kIgnoreBaseName = "/tarvine-ignore-base";

// The key that says a store names what git refuses by the full escape; a
// store without it was made before, with ".git" alone escaped.
constexpr const char* kNamingKey = "tarvine.names";
constexpr const char* kGitSafeNaming = "git-safe";
// The folder the history is of.
constexpr const char* kRootKey = "tarvine.root";

Naming namingOf(git_repository* repository) {
  git_config* config = nullptr;
  if (git_repository_config_snapshot(&config, repository) != 0) return Naming::dotGitOnly;
  const char* value = nullptr;
  const bool gitSafe = git_config_get_string(&value, config, kNamingKey) == 0 &&
                       std::string_view(value) == kGitSafeNaming;
  git_config_free(config);
  return gitSafe ? Naming::gitSafe : Naming::dotGitOnly;
}

// What tells that the ignore rules changed: their file's size, times and inode.
std::string ignoreRulesStamp(const std::string& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return "none";
  return std::to_string(info.st_size) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
         std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_ctim.tv_sec) + "." +
         std::to_string(info.st_ctim.tv_nsec) + " " + std::to_string(info.st_ino);
}

bool hasIgnoreRules(const std::string& file) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t") != std::string::npos && line[0] != '#') return true;
  }
  return false;
}

// The lock files a killed writer can leave: git's locks on its references
// and logs. With one writer at a time, any found now is stale.
void removeStaleLocks(git_repository* repository) {
  const std::filesystem::path gitDir = git_repository_path(repository);
  std::error_code ignored;
  for (const char* file : {"HEAD.lock", "packed-refs.lock", "config.lock"}) {
    std::filesystem::remove(gitDir / file, ignored);
  }
  for (const char* tree : {"refs", "logs"}) {
    for (auto it = std::filesystem::recursive_directory_iterator(gitDir / tree, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->path().extension() == ".lock") std::filesystem::remove(it->path(), ignored);
    }
  }
}

// Where the open root is now.
Result<RootPlace> placeOf(FolderAccess& access, int root, const std::string& path) {
  struct stat self {
  }, parent{};
  if (access.statOpen(root, self) != 0) {
    return systemFailure(formatted(_("cannot read %s"), path.c_str()));
  }
  // The parent of "/" is itself.
  const bool mountPoint = access.statAt(root, "..", parent) == 0 && parent.st_dev != self.st_dev;
  return RootPlace{static_cast<std::uint64_t>(self.st_dev), static_cast<std::uint64_t>(self.st_ino),
                   mountPoint};
}

Status unavailable(const std::string& why, int error = ENODEV) {
  return Status::failure(Status::Kind::unavailable, why, error);
}

// The root's folder, open; a root that is not there is unavailable.
Result<FileDescriptor> openRootFolder(FolderAccess& access, const std::string& root) {
  FileDescriptor fd(access.openRoot(root));
  if (fd.valid()) return fd;
  if (const int error = errno; error == ENOENT || error == ENOTDIR) {
    return unavailable(formatted(_("%s is not there"), root.c_str()), error);
  }
  return systemFailure(formatted(_("cannot open %s"), root.c_str()));
}

// Whether the root is still the folder its history is of, or its disk seems
// to be gone from under it. The root is not that folder when it is empty
// where its last snapshot is not, unless it is the very folder that snapshot
// saw (the user emptied it); or when it is on another device than it was,
// and is no longer a mount of its own where it was one, or holds none of the
// names its last snapshot has at its top (another disk). A disk plugged in
// again and numbered anew holds its own names still.
Status checkMounted(FolderAccess& access, git_repository* repository, int root,
                    const std::string& path, const std::optional<RootPlace>& last,
                    const RootPlace& now) {
  std::vector<std::string> names;
  if (access.list(root, names) != 0) {
    return systemFailure(formatted(_("cannot list %s"), path.c_str()));
  }
  std::erase_if(
      names, [](const std::string& name) { return name.rfind(History::restoringPrefix, 0) == 0; });
  const bool sameFolder = last && last->device == now.device && last->inode == now.inode;
  const bool sameDevice = !last || last->device == now.device;
  if ((!names.empty() || sameFolder) && sameDevice) return Status();
  auto head = headCommit(repository);
  // Nothing recorded to compare with (what a damaged history holds is for
  // the snapshot to find out).
  if (!head.ok()) return Status();
  git_tree* raw = nullptr;
  if (git_commit_tree(&raw, head->get()) != 0) return Status();
  const Tree tree(raw);
  if (git_tree_entrycount(raw) == 0) return Status();
  if (names.empty()) {
    return unavailable(formatted(_("%s is empty, where its last snapshot is not: is its disk "
                                   "mounted?"),
                                 path.c_str()));
  }
  if (last->mountPoint && !now.mountPoint) {
    return unavailable(
        formatted(_("%s is no longer a mount of its own: is its disk mounted?"), path.c_str()));
  }
  for (const std::string& name : names) {
    if (git_tree_entry_byname(raw, storedName(name).c_str()) != nullptr) return Status();
  }
  return unavailable(formatted(_("%s is on another device than it was, and holds nothing its "
                                 "last snapshot holds: is its disk mounted?"),
                               path.c_str()));
}

// What killed writers leave besides locks: libgit2's temporary objects and
// packs, and git's packs. With one writer at a time, any found now is stale. Only
// the two folders where they are made are listed, not the objects' own.
void removeLeftovers(git_repository* repository) {
  const std::filesystem::path gitDir = git_repository_path(repository);
  const std::string intactTemporary = std::string(History::intactTipName) + ".";
  const struct {
    std::filesystem::path folder;
    std::vector<std::string> prefixes;
  } places[] = {
      {gitDir / "objects", {"tmp_object_git2_"}},
      {gitDir / "objects" / "pack", {"pack_git2_", "tmp_"}},
      {gitDir, {intactTemporary}},
  };
  std::error_code ignored;
  for (const auto& place : places) {
    for (const auto& entry : std::filesystem::directory_iterator(place.folder, ignored)) {
      const std::string name = entry.path().filename().string();
      for (const std::string& prefix : place.prefixes) {
        if (name.rfind(prefix, 0) == 0) std::filesystem::remove(entry.path(), ignored);
      }
    }
  }
}

// A store made now is synced before it is used: its HEAD and config, and its
// folders into theirs.
Status syncNewStore(const std::string& repository) {
  for (const char* file : {"/HEAD", "/config", "/objects", "/refs/heads", "/refs", ""}) {
    if (Status synced = syncPath(repository + file); !synced.ok()) return synced;
  }
  return syncPath(std::filesystem::path(repository).parent_path().string());
}

// A bare repository at `repository` with this engine's settings, synced.
Status makeStore(const std::string& repository, const std::string& root) {
  git_repository* made = nullptr;
  if (git_repository_init(&made, repository.c_str(), /*is_bare=*/1) != 0) {
    return gitFailure(formatted(_("cannot make the history at %s"), repository.c_str()));
  }
  std::unique_ptr<git_repository, Freer<git_repository, git_repository_free>> held(made);
  git_config* raw = nullptr;
  if (git_repository_config(&raw, made) != 0) {
    return gitFailure(formatted(_("cannot make the history at %s"), repository.c_str()));
  }
  std::unique_ptr<git_config, Freer<git_config, git_config_free>> config(raw);
  // Names Windows or macOS would refuse are fine here: every file is history.
  // The user's global ignore file is no rule of this history's.
  if (git_config_set_string(raw, kNamingKey, kGitSafeNaming) != 0 ||
      git_config_set_bool(raw, "core.protectNTFS", 0) != 0 ||
      git_config_set_bool(raw, "core.protectHFS", 0) != 0 ||
      git_config_set_string(raw, kRootKey, root.c_str()) != 0 ||
      git_config_set_string(raw, "core.excludesfile", "/dev/null") != 0 ||
      git_config_set_string(raw, "core.logAllRefUpdates", "always") != 0) {
    return gitFailure(formatted(_("cannot make the history at %s"), repository.c_str()));
  }
  std::ofstream(repository + "/info/exclude", std::ios::trunc) << kIgnoreHelp;
  return syncNewStore(repository);
}

// Every move of every reference logged, as a bare repository does not by
// default: the branch's log is where a damaged history finds its last
// intact snapshot.
void logEveryReference(git_repository* repository) {
  git_config* config = nullptr;
  if (git_repository_config(&config, repository) != 0) return;
  git_buf value = GIT_BUF_INIT;
  if (git_config_get_string_buf(&value, config, "core.logAllRefUpdates") != 0 ||
      std::string_view(value.ptr) != "always") {
    // Dropped: without it, libgit2 logs no move of its own, and this
    // engine's logs the branch itself.
    (void)git_config_set_string(config, "core.logAllRefUpdates", "always");
  }
  git_buf_dispose(&value);
  git_config_free(config);
}

}  // namespace

std::string_view reasonName(Reason reason) {
  switch (reason) {
    case Reason::automatic:
      return "automatic";
    case Reason::manual:
      return "manual";
    case Reason::enabled:
      return "enabled";
    case Reason::beforeRestore:
      return "before-restore";
  }
  return "manual";
}

std::string History::repository() const { return git_repository_path(repository_); }

std::string History::ignoreFile() const {
  return std::string(git_repository_path(repository_)) + "info/exclude";
}

History::History(git_repository* repository, std::string root, std::string statCache,
                 FolderAccess& access)
    : repository_(repository),
      root_(std::move(root)),
      statCachePath_(std::move(statCache)),
      access_(access) {}

History::~History() {
  // Whatever this use wrote by the umask (references, the stat cache) is the
  // owner's alone again.
  Privacy::tightenStore(repository_);
  git_repository_free(repository_);
}

Result<std::unique_ptr<History>> History::open(const std::string& repository,
                                               const std::string& root, FolderAccess& access,
                                               Opening opening) {
  static std::once_flag initialised;
  std::call_once(initialised, [] {
    git_libgit2_init();
    // Every object a tree names was written by this engine first (the stat
    // cache is saved only after its snapshot): checking each again would
    // cost a lookup per file of an unchanged tree.
    git_libgit2_opts(GIT_OPT_ENABLE_STRICT_OBJECT_CREATION, 0);
    // libgit2 reads packs through maps of their files that it keeps, up to
    // 8 GB of them: reading a large file's chunks out of a pack would hold
    // the whole pack in memory. Small windows, and few of them kept.
    git_libgit2_opts(GIT_OPT_SET_MWINDOW_SIZE, std::size_t{4} << 20);
    git_libgit2_opts(GIT_OPT_SET_MWINDOW_MAPPED_LIMIT, std::size_t{64} << 20);
  });
  struct stat info {};
  if (opening != Opening::checking &&
      (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
    return Status::failure(Status::Kind::unavailable,
                           formatted(_("not a folder: %s"), root.c_str()), ENOTDIR);
  }
  git_repository* opened = nullptr;
  if (git_repository_open_bare(&opened, repository.c_str()) != 0) {
    if (opening == Opening::checking) {
      return Status::failure(Status::Kind::noHistory,
                             formatted(_("no history yet: %s"), repository.c_str()), ENOENT);
    }
    // A new store is made beside and renamed into place whole: one whose
    // making a kill or a power cut cut short (its config locked, its
    // settings unwritten) could be neither opened nor made again. One that
    // is there but cannot be opened is made over where it is, as before.
    struct stat there {};
    const bool anew = ::lstat(repository.c_str(), &there) != 0;
    const std::string making = anew ? repository + ".making" : repository;
    if (anew) {
      std::error_code ignored;
      std::filesystem::remove_all(making, ignored);  // only a making cut short leaves it
    }
    if (Status made = makeStore(making, root); !made.ok()) return made;
    if (anew && (::rename(making.c_str(), repository.c_str()) != 0 ||
                 !syncPath(std::filesystem::path(repository).parent_path().string()).ok())) {
      return Status::error(formatted(_("cannot make the history at %s"), repository.c_str()),
                           errno);
    }
    if (git_repository_open_bare(&opened, repository.c_str()) != 0) {
      return gitFailure(formatted(_("cannot make the history at %s"), repository.c_str()));
    }
  }
  if (Status kept = Privacy::openStore(opened); !kept.ok()) {
    git_repository_free(opened);
    return kept;
  }
  const std::string matched = repository + kIgnoreBaseName;
  if (opening != Opening::checking) ::mkdir(matched.c_str(), 0700);
  git_repository_set_workdir(opened, matched.c_str(), /*update_gitlink=*/0);
  std::unique_ptr<History> history(
      new History(opened, root, repository + "/" + StatCache::fileName, access));
  history->naming_ = namingOf(opened);
  if (Status guarded = readLooseSafely(opened); !guarded.ok()) return guarded;
  if (opening == Opening::writing) {
    logEveryReference(opened);
    removeStaleLocks(opened);
    removeLeftovers(opened);
    if (Status front = writeBackAsStored(opened); !front.ok()) return front;
  }
  if (opening != Opening::checking) history->removeRestoreLeftovers(/*wait=*/false);
  auto tip = examineTip(opened, opening, history->statCachePath_);
  if (!tip.ok()) return tip.status();
  history->intactTip_ = tip->intact;
  history->healed_ = std::move(tip->healed);
  return history;
}

Status History::availability() {
  auto root = openRootFolder(access_, root_);
  if (!root.ok()) return root.status();
  auto place = placeOf(access_, root->get(), root_);
  if (!place.ok()) return place.status();
  return checkMounted(access_, repository_, root->get(), root_,
                      StatCache::open(statCachePath_, /*writable=*/false)->root(), *place);
}

Result<Snapshot> History::snapshot(Reason reason, const SnapshotOptions& options) {
  // Objects a power cut left empty or damaged were removed: taken again, the
  // snapshot stores them anew. Each try removes what it met (a damaged tree
  // can hide a damaged one below it), so a few tries are enough.
  constexpr int kTries = 8;
  auto taken = snapshotOnce(reason, options);
  for (int tried = 1;
       tried < kTries && !taken.ok() && taken.status().kind() == Status::Kind::damaged &&
       taken.status().errorNumber() == EAGAIN;
       ++tried) {
    taken = snapshotOnce(reason, options);
  }
  return taken;
}

Result<Snapshot> History::snapshotOnce(Reason reason, const SnapshotOptions& options) {
  removeStaleLocks(repository_);
  // Before any file is looked at: what the next snapshot trusts of this
  // one's records is what is older than this.
  const std::int64_t start = fileClockNow();
  Snapshot report;
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  auto root = openRootFolder(access_, root_);
  if (!root.ok()) return root.status();
  const std::unique_ptr<StatCache> cache = StatCache::open(statCachePath_, /*writable=*/true);
  const std::optional<RootPlace> lastPlace = cache->root();
  auto place = placeOf(access_, root->get(), root_);
  if (!place.ok()) return place.status();
  if (Status there = checkMounted(access_, repository_, root->get(), root_, lastPlace, *place);
      !there.ok()) {
    return there;
  }
  auto before = headCommit(repository_);
  git_tree* rawLast = nullptr;
  if (before.ok() && git_commit_tree(&rawLast, before->get()) != 0) {
    return gitFailure(_("cannot read the newest snapshot"), Status::Kind::damaged);
  }
  const Tree lastTree(rawLast);
  // The cache's records, and the changes the caller saw, are relative to the
  // snapshot the cache last saw: a history rewritten or healed since may no
  // longer hold what they name.
  const std::optional<git_oid> tip = cache->tip();
  const bool current = before.ok() && tip && git_oid_equal(&*tip, git_commit_id(before->get()));
  const std::string rules = ignoreRulesStamp(ignoreFile());
  const bool onlyChanged = options.changedFolders && current && lastPlace == *place &&
                           cache->meta(kIgnoreRulesKey) == rules;
  report.readWhole = !onlyChanged;
  std::set<std::string> changed;
  if (onlyChanged) {
    changed = *options.changedFolders;
    changed.insert(options.newFolders.begin(), options.newFolders.end());
  }
  cache->begin();
  TreeWriter writer(
      {access_, repository_, odb->get(), *cache, start, !current, onlyChanged ? &changed : nullptr,
       options.newFolders, lastTree.get(), root_ == "/" ? "" : root_, excluded_,
       hasIgnoreRules(ignoreFile()), keptAnyway_, temporaryPrefix_, naming_, chunkedFileBytes_},
      report);
  Result<git_oid> tree = writer.folder(root->get(), "");
  if (!tree.ok()) return tree.status();
  const std::string parent = before.ok() ? hex(*git_commit_id(before->get())) : "";
  auto recorded = recordSnapshot(repository_, *tree, reason, root_);
  if (!recorded.ok()) return recorded.status();
  // Built on a snapshot found whole, with every object it added synced and
  // found not empty: whole too.
  if (!recorded->empty() && parent == intactTip_) {
    intactTip_ = *recorded;
    vouchFor(repository_, intactTip_);
  }
  // The records vouch only for what a durable snapshot holds: kept now, with
  // the snapshot the branch names.
  git_oid newTip;
  if (git_oid_fromstr(&newTip, recorded->empty() ? parent.c_str() : recorded->c_str()) == 0) {
    cache->setTip(newTip);
    cache->setRoot(*place);
    cache->setMeta(kIgnoreRulesKey, rules);
    cache->commit();
  }
  report.id = std::move(*recorded);
  return report;
}

Status History::recordPlace() {
  git_config* raw = nullptr;
  if (git_repository_config(&raw, repository_) != 0) return gitFailure(_("cannot read the config"));
  const int set = git_config_set_string(raw, kRootKey, root_.c_str());
  git_config_free(raw);
  if (set != 0) return gitFailure(formatted(_("cannot record %s in the history"), root_.c_str()));
  // The files keep their cached entries: below the root, a folder renamed
  // keeps them as they were, and a folder copied has new inodes, so each of
  // its files is read again (and found stored already).
  auto root = openRootFolder(access_, root_);
  if (!root.ok()) return root.status();
  auto place = placeOf(access_, root->get(), root_);
  if (!place.ok()) return place.status();
  const std::unique_ptr<StatCache> cache = StatCache::open(statCachePath_, /*writable=*/true);
  if (const auto recorded = cache->root(); recorded && *recorded != *place) {
    cache->begin();
    cache->setRoot(*place);
    cache->commit();
  }
  return syncPath(repository() + "config");
}

std::optional<std::string> History::recordedRoot(const std::string& repository) {
  // Asked before any history is opened, too.
  git_libgit2_init();
  git_config* raw = nullptr;
  std::optional<std::string> root;
  if (git_config_open_ondisk(&raw, (repository + "/config").c_str()) == 0) {
    git_buf value = GIT_BUF_INIT;
    if (git_config_get_string_buf(&value, raw, kRootKey) == 0) root = std::string(value.ptr);
    git_buf_dispose(&value);
    git_config_free(raw);
  }
  git_libgit2_shutdown();
  return root;
}

std::string History::shownPath(const std::string& relative) const {
  return relative.empty() ? root_ : root_ + "/" + relative;
}

}  // namespace tarvine::history
