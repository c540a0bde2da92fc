// Restoring: a file or folder of the root brought back to a version, each
// file written beside its place and renamed over it, never through a link.

#include <cerrno>
#include <random>

#include "history/Blobs.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/StoredNames.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// Opens the folder made of the first `count` of `parts` below `root`
// (creating what is missing), never through a link: each component is opened
// without following one.
Result<FileDescriptor> openFolder(FolderAccess& access, const std::string& root,
                                  const std::vector<std::string>& parts, std::size_t count) {
  FileDescriptor fd(access.openRoot(root));
  if (!fd.valid()) return systemFailure("cannot open " + root);
  for (std::size_t i = 0; i < count; ++i) {
    int next = access.openFolder(fd.get(), parts[i]);
    if (next < 0 && errno == ENOENT) {
      if (access.makeFolder(fd.get(), parts[i]) != 0 && errno != EEXIST) {
        return systemFailure("cannot make " + parts[i]);
      }
      next = access.openFolder(fd.get(), parts[i]);
    }
    if (next < 0) {
      return errno == ELOOP || errno == ENOTDIR
                 ? Status::failure(Status::Kind::refused,
                                   "refused: " + parts[i] + " is not a folder but a link or a file",
                                   ENOTDIR)
                 : systemFailure("cannot open " + parts[i]);
    }
    fd = FileDescriptor(next);
  }
  return fd;
}

// Replaces `name` in `folder` with a blob's content (or a link to it) as a
// whole: written beside it, synced, then renamed over it, so that no reader
// ever sees half a file. A link in its place is replaced, never written through.
Status replaceFile(FolderAccess& access, git_repository* repository, int folder,
                   const std::string& name, const git_oid& oid, git_filemode_t mode) {
  static thread_local std::mt19937_64 random(std::random_device{}());
  const std::string temporary = std::string(History::restoringPrefix) + std::to_string(random());
  if (mode == GIT_FILEMODE_LINK) {
    git_blob* raw = nullptr;
    if (git_blob_lookup(&raw, repository, &oid) != 0) {
      return gitFailure("cannot read", Status::Kind::damaged);
    }
    Blob blob(raw);
    const std::string target(static_cast<const char*>(git_blob_rawcontent(raw)),
                             static_cast<std::size_t>(git_blob_rawsize(raw)));
    if (access.makeLink(target, folder, temporary) != 0) {
      return systemFailure("cannot restore " + name);
    }
  } else {
    const mode_t permissions = mode == GIT_FILEMODE_BLOB_EXECUTABLE ? 0777 : 0666;
    FileDescriptor fd(access.createFile(folder, temporary, permissions));
    if (!fd.valid()) return systemFailure("cannot restore " + name);
    Status copied = copyBlob(access, repository, oid, fd.get());
    if (copied.ok() && access.sync(fd.get()) != 0) copied = systemFailure("cannot sync");
    if (!copied.ok()) {
      access.remove(folder, temporary);
      return Status::failure(copied.kind(), "cannot restore " + name + ": " + copied.message(),
                             copied.errorNumber());
    }
  }
  if (access.rename(folder, temporary, name) != 0) {
    const Status failed = systemFailure("cannot restore " + name);
    access.remove(folder, temporary);
    return failed;
  }
  access.sync(folder);
  return Status();
}

// Writes every file of a version's tree that differs from the newest
// snapshot, one by one.
class Restorer {
 public:
  Restorer(FolderAccess& access, git_repository* repository, const std::string& root,
           git_commit* head, const std::vector<std::string>& target, Restored& restored)
      : access_(access),
        repository_(repository),
        root_(root),
        head_(head),
        target_(target),
        restored_(restored) {}

  Status put(const std::vector<std::string>& at, const git_oid& oid, git_filemode_t mode) {
    const Entry current = entryAt(head_, storedPath(at));
    if (current.oid && git_oid_equal(&*current.oid, &oid) && current.mode == mode) return Status();
    if (mode == GIT_FILEMODE_TREE) return putFolder(at, oid);
    if (at.empty()) return Status::failure(Status::Kind::invalid, "the root is a folder", EISDIR);
    auto folder = openFolder(access_, root_, at, at.size() - 1);
    if (!folder.ok()) return folder.status();
    Status done = replaceFile(access_, repository_, folder->get(), at.back(), oid, mode);
    if (done.ok()) restored_.written.push_back(joined(at));
    return done;
  }

 private:
  Status putFolder(const std::vector<std::string>& at, const git_oid& oid) {
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository_, &oid) != 0) {
      return gitFailure("cannot read", Status::Kind::damaged);
    }
    Tree tree(raw);
    if (at.size() > target_.size() || at == target_) {
      auto folder = openFolder(access_, root_, at, at.size());  // made if it was deleted
      if (!folder.ok()) return folder.status();
    }
    for (std::size_t i = 0; i < git_tree_entrycount(raw); ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
      std::vector<std::string> below = at;
      below.push_back(realName(git_tree_entry_name(entry)));
      Status done = put(below, *git_tree_entry_id(entry), git_tree_entry_filemode(entry));
      if (!done.ok()) return done;
    }
    return Status();
  }

  FolderAccess& access_;
  git_repository* repository_;
  const std::string& root_;
  git_commit* head_;
  const std::vector<std::string>& target_;
  Restored& restored_;
};

// The latest snapshot before `head` in which `path` existed and differed
// from what `head` has.
Result<Commit> previousVersion(git_commit* head, const std::string& path,
                               const std::string& shown) {
  const Entry now = entryAt(head, path);
  for (Commit walk = parentOf(head); walk; walk = parentOf(walk.get())) {
    const Entry then = entryAt(walk.get(), path);
    if (then.oid && (!now.oid || !git_oid_equal(&*then.oid, &*now.oid))) return walk;
  }
  return Status::failure(Status::Kind::noEarlierVersion, "no earlier version of " + shown, ENOENT);
}

}  // namespace

Result<Restored> History::restore(const std::string& relative, std::optional<std::string> id) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  const std::string path = storedPath(*parts);
  Restored restored;
  // The current state first, so that this restore can be undone.
  auto before = snapshot(Reason::beforeRestore);
  if (!before.ok()) return before.status();
  restored.before = before->id;
  auto head = headCommit(repository_);
  if (!head.ok()) {
    if (head.status().kind() != Status::Kind::noHistory) return head.status();
    return Status::failure(Status::Kind::noHistory, "no history of " + root_ + " yet", ENOENT);
  }
  restored.undo = hex(*git_commit_id(head->get()));

  auto target =
      id ? commitById(repository_, *id) : previousVersion(head->get(), path, shownPath(relative));
  if (!target.ok()) return target.status();
  const Entry then = entryAt(target->get(), path);
  if (!then.oid) {
    return Status::failure(Status::Kind::notFound, shownPath(relative) + " is not in that version",
                           ENOENT);
  }
  restored.version = hex(*git_commit_id(target->get()));
  Restorer restorer(access_, repository_, root_, head->get(), *parts, restored);
  if (Status done = restorer.put(*parts, *then.oid, then.mode); !done.ok()) return done;
  return restored;
}

}  // namespace tarvine::history
