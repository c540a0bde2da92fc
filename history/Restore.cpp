// Restoring: a file or folder of the root brought back to a version. The
// whole restore is planned before anything is written, and refused then if
// it cannot be carried out; each file is written beside its place and renamed
// over it, never through a link, and only once what it replaces is in the
// history.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "foundation/TextSplit.h"
#include "history/Blobs.h"
#include "history/Chunks.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// In the history's folder while a restore runs: the mark of its temporary
// files' names and the folders it puts them in, so that what a killed one
// left can be found and removed. The running restore holds a lock on it.
constexpr const char* kJournalName = "tarvine-restoring";
constexpr int kTokenDigits = 16;
constexpr std::size_t kJournalLimitBytes = 64ull << 20;
// How often a file that changes after being recorded is recorded again
// before it is left as it is.
constexpr int kKeepTries = 3;

std::string randomToken() {
  std::random_device device;
  std::mt19937_64 random((static_cast<std::uint64_t>(device()) << 32) ^ device());
  char text[kTokenDigits + 1];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
  return text;
}

std::string shown(const std::string& root, const std::string& path) {
  return path.empty() ? root : root + "/" + path;
}

std::string joinedPath(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::vector<std::string> partsOf(const std::string& path) {
  std::vector<std::string> parts;
  for (std::string_view part : splitNonEmpty(path, '/')) parts.emplace_back(part);
  return parts;
}

Status refused(const std::string& what) {
  return Status::failure(Status::Kind::refused,
                         formatted(_("refused: %s; nothing was written"), what.c_str()), ENOTDIR);
}

// Opens the folder made of the first `count` of `parts` below `root`
// (creating what is missing), never through a link: each component is opened
// without following one.
Result<FileDescriptor> openFolder(FolderAccess& access, const std::string& root,
                                  const std::vector<std::string>& parts, std::size_t count) {
  FileDescriptor fd(access.openRoot(root));
  if (!fd.valid()) return systemFailure(formatted(_("cannot open %s"), root.c_str()));
  for (std::size_t i = 0; i < count; ++i) {
    int next = access.openFolder(fd.get(), parts[i]);
    if (next < 0 && errno == ENOENT) {
      if (access.makeFolder(fd.get(), parts[i]) != 0 && errno != EEXIST) {
        return systemFailure(formatted(_("cannot make %s"), parts[i].c_str()));
      }
      next = access.openFolder(fd.get(), parts[i]);
    }
    if (next < 0) {
      return errno == ELOOP || errno == ENOTDIR
                 ? Status::failure(Status::Kind::refused,
                                   formatted(_("refused: %s is not a folder but a link or a file"),
                                             parts[i].c_str()),
                                   ENOTDIR)
                 : systemFailure(formatted(_("cannot open %s"), parts[i].c_str()));
    }
    fd = FileDescriptor(next);
  }
  return fd;
}

// One step of a restore: a file or link written, or a missing folder made.
struct Write {
  std::string path;      // below the root, as the user knows it
  git_oid oid;           // as stored: for a chunked file, the tree of its chunks
  git_filemode_t mode;   // a chunked file's is a file's
  bool present = false;  // something is there now, to be replaced
  bool chunked = false;
  git_oid content = oid;  // the content's id: the chunked file's as one blob
};

// Every write a restore will make, found by walking the version's tree
// against the folder as it is, with nothing written: a file where the version
// has a folder, a folder or link where it has a file, is found here.
class Planner {
 public:
  Planner(FolderAccess& access, git_repository* repository, const std::string& root, Naming naming,
          std::vector<Write>& writes)
      : access_(access), repository_(repository), root_(root), naming_(naming), writes_(writes) {}

  // The entry at `parts` of the version; its place in the folder is reached
  // from the root, never through a link.
  Status plan(const std::vector<std::string>& parts, const git_oid& oid, git_filemode_t mode) {
    FileDescriptor folder(access_.openRoot(root_));
    if (!folder.valid()) return systemFailure(formatted(_("cannot open %s"), root_.c_str()));
    if (parts.empty()) return planFolder(folder.get(), "", oid);
    const std::string parent = joined({parts.begin(), parts.end() - 1});
    std::string path;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
      path = joinedPath(path, parts[i]);
      const auto now = kindAt(folder.get(), parts[i], path);
      if (!now.ok()) return now.status();
      if (*now == 0) return entry(-1, parent, parts.back(), oid, mode);  // made when written
      if (!S_ISDIR(*now)) return conflict(path, *now, GIT_FILEMODE_TREE);
      FileDescriptor next(access_.openFolder(folder.get(), parts[i]));
      if (!next.valid()) {
        return systemFailure(formatted(_("cannot open %s"), shown(root_, path).c_str()));
      }
      folder = std::move(next);
    }
    return entry(folder.get(), path, parts.back(), oid, mode);
  }

 private:
  // The type of what is at `name` in `folder` now (0 when nothing is).
  Result<mode_t> kindAt(int folder, const std::string& name, const std::string& path) {
    if (folder < 0) return mode_t{0};
    struct stat info {};
    if (access_.statAt(folder, name, info) == 0) return info.st_mode & S_IFMT;
    if (errno == ENOENT) return mode_t{0};
    return systemFailure(formatted(_("cannot read %s"), shown(root_, path).c_str()));
  }

  Status conflict(const std::string& path, mode_t now, git_filemode_t then) {
    const char* is = S_ISDIR(now)   ? _("a folder")
                     : S_ISLNK(now) ? _("a link")
                     : S_ISREG(now) ? _("a file")
                                    : _("a pipe, socket or device");
    // TRANSLATORS: the path, then what it is now ("a folder", "a link", ...).
    const char* hasFolder = _("%s is %s where the version has a folder");
    // TRANSLATORS: the path, then what it is now ("a folder", "a file", ...).
    const char* hasLink = _("%s is %s where the version has a link");
    // TRANSLATORS: the path, then what it is now ("a folder", "a link", ...).
    const char* hasFile = _("%s is %s where the version has a file");
    const char* was = then == GIT_FILEMODE_TREE   ? hasFolder
                      : then == GIT_FILEMODE_LINK ? hasLink
                                                  : hasFile;
    return refused(formatted(was, shown(root_, path).c_str(), is));
  }

  // The entry `name` of the folder `folder` (-1: a folder that is not there).
  Status entry(int folder, const std::string& parent, const std::string& name, const git_oid& oid,
               git_filemode_t mode) {
    const std::string path = joinedPath(parent, name);
    // A file kept in chunks is restored as the file it is.
    const auto chunked =
        mode == GIT_FILEMODE_TREE ? chunkedFile(repository_, oid) : std::optional<StoredFile>();
    if (chunked) mode = chunked->mode;
    const auto now = kindAt(folder, name, path);
    if (!now.ok()) return now.status();
    if (mode == GIT_FILEMODE_TREE) {
      if (*now == 0) {
        writes_.push_back({path, oid, mode, false});
        return planFolder(-1, path, oid);
      }
      if (!S_ISDIR(*now)) return conflict(path, *now, mode);
      FileDescriptor child(access_.openFolder(folder, name));
      if (!child.valid()) {
        return systemFailure(formatted(_("cannot open %s"), shown(root_, path).c_str()));
      }
      return planFolder(child.get(), path, oid);
    }
    if (*now != 0 && !S_ISREG(*now) && !S_ISLNK(*now)) return conflict(path, *now, mode);
    writes_.push_back(
        {path, oid, mode, *now != 0, chunked.has_value(), chunked ? chunked->content : oid});
    return Status();
  }

  Status planFolder(int folder, const std::string& path, const git_oid& oid) {
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository_, &oid) != 0) {
      return gitFailure(_("cannot read"), Status::Kind::damaged);
    }
    Tree tree(raw);
    for (std::size_t i = 0; i < git_tree_entrycount(raw); ++i) {
      const git_tree_entry* below = git_tree_entry_byindex(raw, i);
      Status done = entry(folder, path, realName(git_tree_entry_name(below), naming_),
                          *git_tree_entry_id(below), git_tree_entry_filemode(below));
      if (!done.ok()) return done;
    }
    return Status();
  }

  FolderAccess& access_;
  git_repository* repository_;
  const std::string& root_;
  Naming naming_;
  std::vector<Write>& writes_;
};

// What is at a path now, as a snapshot would record it.
struct Current {
  enum class Kind { absent, file, link, other } kind = Kind::absent;
  git_oid oid{};
  struct stat info {};
};

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Reads what is at `name` in `folder`: a file's content hashed (and found
// unchanged while it was read), a link's target, never followed.
Result<Current> currentAt(FolderAccess& access, int folder, const std::string& name) {
  Current current;
  if (access.statAt(folder, name, current.info) != 0) {
    if (errno == ENOENT) return current;
    return systemFailure(_("cannot read"));
  }
  if (S_ISLNK(current.info.st_mode)) {
    std::string target(static_cast<std::size_t>(current.info.st_size) + 1, '\0');
    const ssize_t length = access.readLink(folder, name, target.data(), target.size());
    if (length < 0) return systemFailure(_("cannot read the link"));
    if (git_odb_hash(&current.oid, target.data(), static_cast<size_t>(length), GIT_OBJECT_BLOB) !=
        0) {
      return gitFailure(_("cannot hash"));
    }
    current.kind = Current::Kind::link;
    return current;
  }
  if (!S_ISREG(current.info.st_mode)) {
    current.kind = Current::Kind::other;
    return current;
  }
  FileDescriptor fd(access.openFile(folder, name));
  if (!fd.valid()) return systemFailure(_("cannot open"));
  if (access.statOpen(fd.get(), current.info) != 0) return systemFailure(_("cannot read"));
  auto oid = hashFile(access, fd.get(), static_cast<std::uint64_t>(current.info.st_size));
  if (!oid.ok()) return oid.status();
  struct stat after {};
  if (access.statOpen(fd.get(), after) != 0) return systemFailure(_("cannot read"));
  if (!sameFile(current.info, after)) return Status::error(_("changed while it was read"), EAGAIN);
  current.kind = Current::Kind::file;
  current.oid = *oid;
  return current;
}

// A restore's record, in the history's folder, of where its temporary files
// go; held locked while it runs, removed when it is done.
class Journal {
 public:
  static std::string pathIn(const std::string& repository) { return repository + kJournalName; }

  // Written and synced before the first temporary file is made, so that a
  // restore killed at any point, or cut off by a power loss, left nothing
  // that the next open cannot find.
  static Result<Journal> begin(const std::string& repository, const std::string& token,
                               const std::set<std::string>& folders) {
    const std::string path = pathIn(repository), partial = path + ".new";
    FileDescriptor fd(
        ::open(partial.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd.valid()) return systemFailure(formatted(_("cannot write %s"), partial.c_str()));
    // Locked before it has its name, so that no one finds it unlocked.
    if (::flock(fd.get(), LOCK_EX) != 0) {
      return systemFailure(formatted(_("cannot lock %s"), partial.c_str()));
    }
    std::string text = token + '\0';
    for (const std::string& folder : folders) text += folder + '\0';
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t wrote = ::write(fd.get(), text.data() + done, text.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0) return systemFailure(formatted(_("cannot write %s"), partial.c_str()));
      done += static_cast<std::size_t>(wrote);
    }
    if (::fsync(fd.get()) != 0 || ::rename(partial.c_str(), path.c_str()) != 0) {
      return systemFailure(formatted(_("cannot write %s"), path.c_str()));
    }
    FileDescriptor folder(::open(repository.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid() || ::fsync(folder.get()) != 0) return systemFailure(_("cannot sync"));
    return Journal(path, std::move(fd));
  }

  Journal(Journal&&) = default;
  ~Journal() {
    if (fd_.valid()) ::unlink(path_.c_str());  // done: no temporary file is left
  }

 private:
  Journal(std::string path, FileDescriptor fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  std::string path_;
  FileDescriptor fd_;
};

// The content of a journal a killed restore left: its mark, its folders.
struct Left {
  std::string token;
  std::vector<std::string> folders;
};

std::optional<Left> readJournal(int fd) {
  std::string text;
  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > kJournalLimitBytes) return std::nullopt;
  }
  Left left;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    std::string part = text.substr(start, end - start);
    if (start == 0) {
      left.token = std::move(part);
    } else {
      left.folders.push_back(std::move(part));
    }
  }
  if (left.token.size() != kTokenDigits ||
      left.token.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  return left;
}

// Removes, in each folder the journal names, the files that restore made:
// named with its mark, and owned by this user. True when none is left.
bool removeLeft(FolderAccess& access, const std::string& root, const Left& left) {
  const std::string prefix = std::string(History::restoringPrefix) + left.token + "-";
  bool clean = true;
  for (const std::string& path : left.folders) {
    FileDescriptor folder(access.openRoot(root));
    for (const std::string& part : partsOf(path)) {
      if (!folder.valid()) break;
      folder = FileDescriptor(access.openFolder(folder.get(), part));
    }
    if (!folder.valid()) continue;  // gone, or never made
    std::vector<std::string> names;
    if (access.list(folder.get(), names) != 0) {
      clean = false;
      continue;
    }
    for (const std::string& name : names) {
      struct stat info {};
      if (name.rfind(prefix, 0) != 0 || access.statAt(folder.get(), name, info) != 0) continue;
      if ((!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) || info.st_uid != ::geteuid()) {
        continue;
      }
      if (access.remove(folder.get(), name) != 0 && errno != ENOENT) clean = false;
    }
    if (clean) access.sync(folder.get());
  }
  return clean;
}

// Carries out a planned restore's writes, one by one, each only once what it
// replaces is in the history.
class Writer {
 public:
  using Snapshotter = std::function<Result<std::string>()>;
  Writer(FolderAccess& access, git_repository* repository, const std::string& root, Naming naming,
         std::string prefix, Snapshotter snapshot, Restored& restored)
      : access_(access),
        repository_(repository),
        root_(root),
        naming_(naming),
        prefix_(std::move(prefix)),
        snapshot_(std::move(snapshot)),
        restored_(restored) {}

  Status write(const Write& step) {
    const std::vector<std::string> parts = partsOf(step.path);
    if (step.mode == GIT_FILEMODE_TREE) {
      return openFolder(access_, root_, parts, parts.size()).status();  // made if missing
    }
    auto folder = openFolder(access_, root_, parts, parts.size() - 1);
    if (!folder.ok()) return folder.status();
    const std::string temporary = prefix_ + std::to_string(++count_);
    bool placed = false;
    Status done = put(folder->get(), parts.back(), temporary, step, placed);
    if (!placed) access_.remove(folder->get(), temporary);
    return done;
  }

 private:
  Status put(int folder, const std::string& name, const std::string& temporary, const Write& step,
             bool& placed) {
    const std::string path = step.path;
    const auto failed = [&](const Status& why) {
      return Status::failure(
          why.kind(), formatted(_("cannot restore %s: %s"), path.c_str(), why.message().c_str()),
          why.errorNumber());
    };
    FileDescriptor fd;
    if (step.mode == GIT_FILEMODE_LINK) {
      git_blob* raw = nullptr;
      if (git_blob_lookup(&raw, repository_, &step.oid) != 0) {
        return gitFailure(_("cannot read"), Status::Kind::damaged);
      }
      Blob blob(raw);
      const std::string target(static_cast<const char*>(git_blob_rawcontent(raw)),
                               static_cast<std::size_t>(git_blob_rawsize(raw)));
      if (access_.makeLink(target, folder, temporary) != 0) {
        return failed(systemFailure(_("cannot make the link")));
      }
    } else {
      // Made for the user alone when it replaces a file, whose own bits it
      // takes once written (one gone meanwhile comes back for the user
      // alone); where none is, with the version's bits, under the umask.
      struct stat there {};
      const bool replaces = access_.statAt(folder, name, there) == 0 && S_ISREG(there.st_mode);
      if (replaces) {  // one that cannot be opened is not read, so not replaced
        FileDescriptor probe(access_.openFile(folder, name));
        if (!probe.valid() && errno != ENOENT) {
          restored_.notReplaced.push_back(
              formatted(_("%s: cannot open: %s"), path.c_str(), std::strerror(errno)));
          return Status();
        }
      }
      const mode_t permissions = replaces                                    ? 0600
                                 : step.mode == GIT_FILEMODE_BLOB_EXECUTABLE ? 0777
                                                                             : 0666;
      fd = FileDescriptor(access_.createFile(folder, temporary, permissions));
      if (!fd.valid()) return failed(systemFailure(_("cannot write")));
      Status copied = copyFile(access_, repository_, step.oid, step.chunked, fd.get(), Holes::kept);
      if (!copied.ok()) return failed(copied);
    }
    auto kept = keep(folder, name, path);
    if (!kept.ok()) return kept.status();
    if (!*kept) return Status();  // left as it is, and said so
    if (fd.valid()) {
      if (current_.kind == Current::Kind::file) {
        if (Status same = sameOwnerAndBits(fd.get(), current_.info); !same.ok()) {
          return failed(same);
        }
      }
      if (access_.sync(fd.get()) != 0) return failed(systemFailure(_("cannot sync")));
    }
    if (access_.rename(folder, temporary, name) != 0) {
      return failed(systemFailure(_("cannot rename")));
    }
    placed = true;
    access_.sync(folder);
    restored_.written.push_back(path);
    return Status();
  }

  // Whether what is at `name` now is in the history, recorded again when it
  // changed since: false when it cannot be, and so must stay (it is then
  // named in the report).
  Result<bool> keep(int folder, const std::string& name, const std::string& path) {
    for (int tries = 0;; ++tries) {
      auto current = currentAt(access_, folder, name);
      if (!current.ok() && current.status().errorNumber() != EAGAIN) {
        restored_.notReplaced.push_back(
            formatted(_("%s: %s"), path.c_str(), current.status().message().c_str()));
        return false;
      }
      if (current.ok()) {
        current_ = *current;
        if (current_.kind == Current::Kind::absent) return true;
        if (current_.kind == Current::Kind::other) {
          restored_.notReplaced.push_back(formatted(_("%s: no longer a file"), path.c_str()));
          return false;
        }
        if (recorded(path)) return true;
      }
      if (tries + 1 == kKeepTries) {
        restored_.notReplaced.push_back(
            formatted(_("%s: changed while it was being restored"), path.c_str()));
        return false;
      }
      auto taken = snapshot_();
      if (!taken.ok()) return taken.status();
      if (!taken->empty()) restored_.keptDuring.push_back(*taken);
    }
  }

  // Whether the newest snapshot holds what is at `path` now.
  bool recorded(const std::string& path) {
    auto head = headCommit(repository_);
    if (!head.ok()) return false;
    auto parts = components(path);
    if (!parts.ok()) return false;
    auto found = entryAt(head->get(), storedPath(*parts, naming_));
    if (!found.ok()) return false;
    const Entry entry = resolved(repository_, *found).entry;
    const bool isLink = current_.kind == Current::Kind::link;
    return entry.oid && git_oid_equal(&*entry.oid, &current_.oid) &&
           (entry.mode == GIT_FILEMODE_LINK) == isLink;
  }

  // The replaced file's owner, where this user may give it, and then its
  // permission bits (a change of owner clears set-user-id).
  Status sameOwnerAndBits(int fd, const struct stat& replaced) {
    struct stat mine {};
    if (access_.statOpen(fd, mine) != 0) return systemFailure(_("cannot read"));
    if (mine.st_uid != replaced.st_uid || mine.st_gid != replaced.st_gid) {
      if (access_.chownOpen(fd, replaced.st_uid, replaced.st_gid) != 0) {
        // Not the owner, but perhaps the group, one of this user's own.
        (void)access_.chownOpen(fd, static_cast<uid_t>(-1), replaced.st_gid);
      }
      if (access_.statOpen(fd, mine) != 0) return systemFailure(_("cannot read"));
    }
    mode_t bits = replaced.st_mode & 07777;
    if (mine.st_uid != replaced.st_uid) bits &= ~S_ISUID;
    if (mine.st_gid != replaced.st_gid) bits &= ~S_ISGID;
    if (access_.chmodOpen(fd, bits) != 0) return systemFailure(_("cannot keep the permissions"));
    return Status();
  }

  FolderAccess& access_;
  git_repository* repository_;
  const std::string& root_;
  Naming naming_;
  const std::string prefix_;
  Snapshotter snapshot_;
  Restored& restored_;
  std::size_t count_ = 0;
  Current current_;
};

// The latest snapshot before `head` in which `path` existed and differed
// from what `head` has.
// Files are compared by content, whole or in chunks.
Result<Commit> previousVersion(git_repository* repository, git_commit* head,
                               const std::string& path, const std::string& shown) {
  auto nowStored = entryAt(head, path);
  if (!nowStored.ok()) return nowStored.status();
  const Entry now = resolved(repository, *nowStored).entry;
  for (Commit walk = parentOf(head); walk; walk = parentOf(walk.get())) {
    auto stored = entryAt(walk.get(), path);
    if (!stored.ok()) return stored.status();
    if (stored->sameAs(*nowStored)) continue;
    const Entry then = resolved(repository, *stored).entry;
    if (then.oid && (!now.oid || !git_oid_equal(&*then.oid, &*now.oid))) return walk;
  }
  return Status::failure(Status::Kind::noEarlierVersion,
                         formatted(_("no earlier version of %s"), shown.c_str()), ENOENT);
}

}  // namespace

void History::removeRestoreLeftovers(bool wait) {
  const std::string path = Journal::pathIn(repository());
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return;  // none was killed
  // Locked: the restore that wrote it is still running.
  if (::flock(fd.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) return;
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd.get(), &opened) != 0 || ::stat(path.c_str(), &named) != 0 ||
      opened.st_ino != named.st_ino) {
    return;  // removed meanwhile, by whoever held it
  }
  const auto left = readJournal(fd.get());
  // One that cannot be read names no file: it was cut off before any was made.
  if (!left || removeLeft(access_, root_, *left)) ::unlink(path.c_str());
}

Result<Restored> History::restore(const std::string& relative, std::optional<std::string> id) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  const std::string path = storedPath(*parts, naming_);
  const auto noHistory = [&] {
    return Status::failure(Status::Kind::noHistory,
                           formatted(_("no history of %s yet"), root_.c_str()), ENOENT);
  };
  // A version named from the newest snapshot ("HEAD~1") is read now, before
  // the snapshots below move the newest.
  std::optional<Commit> target;
  if (auto head = headCommit(repository_); !head.ok()) {
    return head.status().kind() == Status::Kind::noHistory ? noHistory() : head.status();
  }
  if (id) {
    auto named = commitById(repository_, *id);
    if (!named.ok()) return named.status();
    target = std::move(*named);
  }
  removeRestoreLeftovers(/*wait=*/true);

  Restored restored;
  // What the snapshots before the restore could not read: kept there as it
  // was, so the restore must leave it alone, and say so.
  std::map<std::string, std::string> unread;
  const auto noteUnread = [&](const Snapshot& taken) {
    for (const Skipped& skipped : taken.skipped) unread[skipped.path] = skipped.why;
  };
  // Without a version, the previous one is found from the state as it is now.
  if (!target) {
    auto before = snapshot(Reason::beforeRestore);
    if (!before.ok()) return before.status();
    noteUnread(*before);
    restored.before = before->id;
    auto head = headCommit(repository_);
    if (!head.ok()) return head.status();
    auto previous = previousVersion(repository_, head->get(), path, shownPath(relative));
    if (!previous.ok()) return previous.status();
    target = std::move(*previous);
  }
  auto found = entryAt(target->get(), path);
  if (!found.ok()) return found.status();
  const Entry then = *found;
  if (!then.oid) {
    return Status::failure(Status::Kind::notFound,
                           formatted(_("%s is not in that version"), shownPath(relative).c_str()),
                           ENOENT);
  }
  restored.version = hex(*git_commit_id(target->get()));

  std::vector<Write> writes;
  Planner planner(access_, repository_, root_, naming_, writes);
  if (Status planned = planner.plan(*parts, *then.oid, then.mode); !planned.ok()) return planned;

  // The snapshots from here on keep what the restore will overwrite, ignored
  // or not, and leave out its own temporary files.
  struct During {
    History& history;
    ~During() {
      history.keptAnyway_.clear();
      history.temporaryPrefix_.clear();
    }
  } during{*this};
  for (const Write& write : writes) {
    int ignored = 0;
    if (!write.present ||
        git_ignore_path_is_ignored(&ignored, repository_, write.path.c_str()) != 0 || !ignored) {
      continue;
    }
    for (std::string at = write.path; !at.empty() && keptAnyway_.insert(at).second;) {
      const auto slash = at.find_last_of('/');
      at = slash == std::string::npos ? "" : at.substr(0, slash);
    }
  }
  // The current state, so that this restore can be undone.
  if (restored.before.empty() || !keptAnyway_.empty()) {
    auto before = snapshot(Reason::beforeRestore);
    if (!before.ok()) return before.status();
    noteUnread(*before);
    if (!before->id.empty()) restored.before = before->id;
  }
  auto head = headCommit(repository_);
  if (!head.ok()) return head.status();
  restored.undo = hex(*git_commit_id(head->get()));

  // Only what differs from the state just recorded is written. A file that
  // differs only by its executable bit keeps its own bits: nothing to write.
  std::vector<Write> needed;
  std::set<std::string> folders;
  for (Write& write : writes) {
    if (auto why = unread.find(write.path); why != unread.end()) {
      restored.notReplaced.push_back(
          formatted(_("%s: %s"), write.path.c_str(), why->second.c_str()));

      continue;
    }
    auto stored = components(write.path);
    if (!stored.ok()) return stored.status();
    // Unread, the newest snapshot's entry is taken as different: the file
    // is written, which is never wrong.
    auto read = entryAt(head->get(), storedPath(*stored, naming_));
    const Entry now = read.ok() ? resolved(repository_, *read).entry : Entry{};
    if (now.oid && git_oid_equal(&*now.oid, &write.content) &&
        (now.mode == write.mode ||
         (write.mode != GIT_FILEMODE_TREE && write.mode != GIT_FILEMODE_LINK &&
          now.mode != GIT_FILEMODE_TREE && now.mode != GIT_FILEMODE_LINK))) {
      continue;
    }
    if (write.mode == GIT_FILEMODE_TREE) {
      needed.push_back(std::move(write));
      continue;
    }
    const std::size_t slash = write.path.find_last_of('/');
    folders.insert(slash == std::string::npos ? "" : write.path.substr(0, slash));
    needed.push_back(std::move(write));
  }

  if (needed.empty()) return restored;
  temporaryPrefix_ = std::string(restoringPrefix) + randomToken() + "-";
  auto journal = Journal::begin(
      repository(), temporaryPrefix_.substr(restoringPrefix.size(), kTokenDigits), folders);
  if (!journal.ok()) return journal.status();
  Writer writer(
      access_, repository_, root_, naming_, temporaryPrefix_,
      [this]() -> Result<std::string> {
        auto taken = snapshot(Reason::beforeRestore);
        if (!taken.ok()) return taken.status();
        return taken->id;
      },
      restored);
  for (const Write& write : needed) {
    if (Status done = writer.write(write); !done.ok()) return done;
  }
  return restored;
}

}  // namespace tarvine::history
