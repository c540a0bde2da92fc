// The files of a folder that some snapshot had and that are gone now. Each
// snapshot is compared with the one after it, tree by tree: a folder whose
// tree has the same id in both is the same and is not read, so the walk costs
// what changed between snapshots, however many files the folder holds.

#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <set>

#include "foundation/TextSplit.h"
#include "history/Chunks.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// The folder at `path` (stored form, "" for the root) in a commit's tree;
// null when that snapshot has no folder there.
Result<Tree> folderAt(git_repository* repository, git_commit* commit, const std::string& path) {
  auto entry = entryAt(commit, path);
  if (!entry.ok()) return entry.status();
  if (!entry->oid || entry->mode != GIT_FILEMODE_TREE || chunkedFile(repository, *entry->oid)) {
    return Tree();
  }
  git_tree* tree = nullptr;
  if (git_tree_lookup(&tree, repository, &*entry->oid) != 0) {
    return gitFailure(_("cannot read"), Status::Kind::damaged);
  }
  return Tree(tree);
}

struct Walk {
  git_repository* repository;
  git_odb* odb;
  git_tree* newest;  // the folder in the newest snapshot, or null
  const std::atomic<bool>* stop;
  // What was found, by stored path: the first time a path is met, going
  // back from the newest snapshot, is its last deletion.
  std::map<std::string, DeletedFile> found;
  std::string lastSeen;
  std::int64_t time = 0;

  bool isFile(const git_tree_entry* entry) const {
    return git_tree_entry_type(entry) == GIT_OBJECT_BLOB ||
           (git_tree_entry_type(entry) == GIT_OBJECT_TREE &&
            chunkedFile(repository, *git_tree_entry_id(entry)));
  }

  // A file of the older snapshot that the newer one has not (as a file);
  // `sinceNewest`: of the newest snapshot, gone from the folder since.
  void gone(const std::string& path, const git_tree_entry* entry, bool sinceNewest = false) {
    if (found.count(path) != 0) return;
    git_tree_entry* now = nullptr;
    if (!sinceNewest && newest != nullptr &&
        git_tree_entry_bypath(&now, newest, path.c_str()) == 0) {
      const TreeEntry held(now);
      if (isFile(now)) return;  // made again since
    }
    DeletedFile file;
    file.path = path;
    file.lastSeen = lastSeen;
    file.time = time;
    file.isLink = git_tree_entry_filemode(entry) == GIT_FILEMODE_LINK;
    if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
      file.size = chunkedFile(repository, *git_tree_entry_id(entry))->size;
    } else {
      size_t size = 0;
      git_object_t type;
      if (git_odb_read_header(&size, &type, odb, git_tree_entry_id(entry)) == 0) file.size = size;
    }
    found.emplace(path, std::move(file));
  }

  // Every file the folder `older` has and `newer` (null: none) has not.
  Status compare(git_tree* older, git_tree* newer, const std::string& prefix) {
    if (stop != nullptr && stop->load()) {
      return Status::failure(Status::Kind::failed, _("stopped"), ECANCELED);
    }
    for (std::size_t i = 0, count = git_tree_entrycount(older); i < count; ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(older, i);
      const std::string path = prefix + git_tree_entry_name(entry);
      const git_tree_entry* other =
          newer != nullptr ? git_tree_entry_byname(newer, git_tree_entry_name(entry)) : nullptr;
      if (other != nullptr && git_oid_equal(git_tree_entry_id(entry), git_tree_entry_id(other)) &&
          git_tree_entry_filemode(entry) == git_tree_entry_filemode(other)) {
        continue;  // the same, all the way down
      }
      if (isFile(entry)) {
        if (other == nullptr || !isFile(other)) gone(path, entry);
        continue;
      }
      if (git_tree_entry_type(entry) != GIT_OBJECT_TREE) continue;
      git_tree* raw = nullptr;
      if (git_tree_lookup(&raw, repository, git_tree_entry_id(entry)) != 0) {
        return gitFailure(formatted(_("cannot read %s"), path.c_str()), Status::Kind::damaged);
      }
      const Tree below(raw);
      Tree newerBelow;
      if (other != nullptr && git_tree_entry_type(other) == GIT_OBJECT_TREE && !isFile(other)) {
        raw = nullptr;
        if (git_tree_lookup(&raw, repository, git_tree_entry_id(other)) != 0) {
          return gitFailure(formatted(_("cannot read %s"), path.c_str()), Status::Kind::damaged);
        }
        newerBelow.reset(raw);
      }
      if (Status walked = compare(below.get(), newerBelow.get(), path + "/"); !walked.ok()) {
        return walked;
      }
    }
    return Status();
  }

  // Every file of the folder `tree` (of the newest snapshot) that the folder
  // `fd` on disk (invalid: not there) has not: a folder listed once, never a
  // file stat'ed, so that this costs a listing per folder.
  Status goneSince(FolderAccess& access, Naming naming, git_tree* tree, int fd,
                   const std::string& prefix) {
    std::set<std::string> names;
    if (fd >= 0) {
      std::vector<std::string> listed;
      if (access.list(fd, listed) != 0) return Status();  // unreadable: nothing said gone
      names.insert(listed.begin(), listed.end());
    }
    for (std::size_t i = 0, count = git_tree_entrycount(tree); i < count; ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(tree, i);
      const std::string path = prefix + git_tree_entry_name(entry);
      const std::string name = realName(git_tree_entry_name(entry), naming);
      const bool there = names.count(name) != 0;
      if (isFile(entry)) {
        if (!there) gone(path, entry, /*sinceNewest=*/true);
        continue;
      }
      if (git_tree_entry_type(entry) != GIT_OBJECT_TREE) continue;
      git_tree* raw = nullptr;
      if (git_tree_lookup(&raw, repository, git_tree_entry_id(entry)) != 0) {
        return gitFailure(formatted(_("cannot read %s"), path.c_str()), Status::Kind::damaged);
      }
      const Tree below(raw);
      FileDescriptor folder(there ? access.openFolder(fd, name) : -1);
      if (Status walked = goneSince(access, naming, raw, folder.get(), path + "/"); !walked.ok()) {
        return walked;
      }
    }
    return Status();
  }
};

}  // namespace

Result<std::vector<DeletedFile>> History::deletedFiles(const std::string& relative,
                                                       const std::atomic<bool>* stop) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  const std::string folder = storedPath(*parts, naming_);
  std::vector<DeletedFile> deleted;
  auto head = headCommit(repository_);
  if (!head.ok()) {
    if (head.status().kind() == Status::Kind::noHistory) return deleted;
    return head.status();
  }
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  auto newest = folderAt(repository_, head->get(), folder);
  if (!newest.ok()) return newest.status();
  Walk walk{repository_, odb->get(), newest->get(), stop, {}, {}, 0};

  // Gone since the newest snapshot, as the folder is now: a root snapshotted
  // by hand may not have recorded it yet.
  if (*newest) {
    walk.lastSeen = hex(*git_commit_id(head->get()));
    walk.time = git_commit_time(head->get());
    FileDescriptor folderNow(access_.openRoot(root_));
    for (std::size_t i = 0; folderNow.valid() && i < parts->size(); ++i) {
      folderNow = FileDescriptor(access_.openFolder(folderNow.get(), (*parts)[i]));
    }
    if (Status walked = walk.goneSince(access_, naming_, newest->get(), folderNow.get(), "");
        !walked.ok()) {
      return walked;
    }
  }

  // Newest first: each snapshot against the one after it.
  Commit child = std::move(*head);
  Tree childTree;
  auto copy = folderAt(repository_, child.get(), folder);
  if (!copy.ok()) return copy.status();
  childTree = std::move(*copy);
  while (true) {
    Commit parent = parentOf(child.get());
    if (!parent) break;
    auto parentTree = folderAt(repository_, parent.get(), folder);
    if (!parentTree.ok()) return parentTree.status();
    if (*parentTree && (!childTree || !git_oid_equal(git_tree_id(parentTree->get()),
                                                     git_tree_id(childTree.get())))) {
      walk.lastSeen = hex(*git_commit_id(parent.get()));
      walk.time = git_commit_time(parent.get());
      if (Status walked = walk.compare(parentTree->get(), childTree.get(), ""); !walked.ok()) {
        return walked;
      }
    }
    child = std::move(parent);
    childTree = std::move(*parentTree);
  }

  // Gone from the folder too: one made again since the newest snapshot is
  // not deleted. Its folder is reached from the root, never through a link.
  std::string openedPath = "\x01";
  FileDescriptor opened;
  for (auto& [stored, file] : walk.found) {
    std::vector<std::string> names = *parts;
    std::string shown;
    for (std::string_view part : splitNonEmpty(stored, '/')) {
      names.push_back(realName(part, naming_));
      shown += (shown.empty() ? "" : "/") + names.back();
    }
    const std::string above = shown.substr(0, shown.find_last_of('/') + 1);
    if (above != openedPath) {
      openedPath = above;
      opened = FileDescriptor(access_.openRoot(root_));
      for (std::size_t i = 0; opened.valid() && i + 1 < names.size(); ++i) {
        opened = FileDescriptor(access_.openFolder(opened.get(), names[i]));
      }
    }
    struct stat info {};
    if (opened.valid() && access_.statAt(opened.get(), names.back(), info) == 0) continue;
    file.path = std::move(shown);
    deleted.push_back(std::move(file));
  }
  std::sort(deleted.begin(), deleted.end(),
            [](const DeletedFile& a, const DeletedFile& b) { return a.path < b.path; });
  return deleted;
}

}  // namespace tarvine::history
