// Recording snapshots: each one a commit on the history's branch, on stable
// storage before the branch names it.

#include "history/Commits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <string_view>
#include <unordered_set>

#include "history/Durable.h"
#include "history/GitObjects.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

constexpr const char* kSignatureName = "Tarvine";
constexpr const char* kSignatureEmail = "tarvine@localhost";
// Up to this many new objects are synced one by one; more (a first snapshot,
// a large change) with their whole file system at once, which flushes the
// disk's cache once rather than once for each.
constexpr std::size_t kSyncedOneByOne = 256;

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

std::string rawKey(const git_oid& oid) {
  return std::string(reinterpret_cast<const char*>(oid.id), GIT_OID_RAWSZ);
}

// Whether a loose object file begins as one does: deflated, "TYPE SIZE\0".
// A power cut can leave a stored object empty, or holding blocks that were
// never its own; git finds loose objects by name alone, so such a file would
// stand for its content forever.
bool looksWhole(int fd) {
  constexpr std::size_t kHeaderBytes = 64;
  unsigned char in[kHeaderBytes * 4];
  const ssize_t got = ::pread(fd, in, sizeof in, 0);
  if (got <= 0) return false;
  z_stream inflater{};
  if (inflateInit(&inflater) != Z_OK) return false;
  char out[kHeaderBytes];
  inflater.next_in = in;
  inflater.avail_in = static_cast<uInt>(got);
  inflater.next_out = reinterpret_cast<unsigned char*>(out);
  inflater.avail_out = sizeof out;
  const int status = inflate(&inflater, Z_SYNC_FLUSH);
  const std::size_t produced = sizeof out - inflater.avail_out;
  inflateEnd(&inflater);
  if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return false;
  const std::string_view header(out, produced);
  const auto space = header.find(' ');
  const auto end = header.find('\0');
  if (space == std::string_view::npos || end == std::string_view::npos || end <= space + 1) {
    return false;
  }
  const std::string_view type = header.substr(0, space);
  if (type != "blob" && type != "tree" && type != "commit" && type != "tag") return false;
  const std::string_view size = header.substr(space + 1, end - space - 1);
  return size.find_first_not_of("0123456789") == std::string_view::npos;
}

// Why `oid`, just stored, cannot be read. A loose file of it that does not
// begin as an object was left by a power cut, and libgit2 kept it instead of
// storing the content again: it is removed, and the snapshot is taken again.
Status unreadable(git_repository* repository, const git_oid& oid, const std::string& what) {
  const Status failed = gitFailure(what);
  const std::string path = looseObjectPath(repository, oid);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid() || looksWhole(fd.get()) || ::unlink(path.c_str()) != 0) return failed;
  return Status::failure(Status::Kind::damaged,
                         formatted(_("%s; the damaged stored object was removed, and the next "
                                     "snapshot stores it again"),
                                   failed.message().c_str()),
                         EAGAIN);
}

// The objects a new snapshot's tree holds that the one before did not: only
// the folders that differ are read, so the cost follows what changed.
struct NewObjects {
  git_repository* repository;
  std::vector<git_oid> files, trees;
  std::unordered_set<git_oid, OidHash, OidEqual> seen;

  Status collect(const git_tree* before, const git_oid& id) {
    if (!seen.insert(id).second) return Status();
    trees.push_back(id);
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository, &id) != 0) {
      return unreadable(repository, id, _("cannot read a new tree"));
    }
    Tree after(raw);
    for (std::size_t i = 0, count = git_tree_entrycount(raw); i < count; ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
      const git_oid* oid = git_tree_entry_id(entry);
      const git_tree_entry* old =
          before != nullptr ? git_tree_entry_byname(before, git_tree_entry_name(entry)) : nullptr;
      if (old != nullptr && git_oid_equal(git_tree_entry_id(old), oid)) continue;
      if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
        git_tree* oldTree = nullptr;
        if (old != nullptr && git_tree_entry_type(old) == GIT_OBJECT_TREE &&
            git_tree_lookup(&oldTree, repository, git_tree_entry_id(old)) != 0) {
          return gitFailure(_("cannot read a tree"));
        }
        Tree owner(oldTree);
        if (Status added = collect(oldTree, *oid); !added.ok()) return added;
      } else if (git_tree_entry_type(entry) == GIT_OBJECT_BLOB && seen.insert(*oid).second) {
        files.push_back(*oid);
      }
    }
    return Status();
  }
};

// Syncs each loose object of `ids` (with `each`; otherwise only looks at
// them) and notes its folder. A packed one was synced when its pack was
// written; one found empty or not beginning as an object is left to the
// caller.
Status syncObjects(git_repository* repository, const std::vector<git_oid>& ids, bool each,
                   std::set<std::string>& folders, std::vector<std::string>& empty) {
  for (const git_oid& oid : ids) {
    const std::string path = looseObjectPath(repository, oid);
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) {
      if (errno == ENOENT) continue;
      return systemFailure(formatted(_("cannot open the stored object %s"), hex(oid).c_str()));
    }
    if (!looksWhole(fd.get())) {
      empty.push_back(path);
      continue;
    }
    if (!each) continue;
    if (::fsync(fd.get()) != 0) {
      return systemFailure(formatted(_("cannot sync the stored object %s"), hex(oid).c_str()));
    }
    folders.insert(folderOf(path));
  }
  return Status();
}

Status syncFolders(const std::set<std::string>& folders) {
  for (const std::string& folder : folders) {
    if (Status synced = syncPath(folder); !synced.ok()) return synced;
  }
  return Status();
}

// The files, then the trees, then `commit` (when given) of a snapshot, with
// their folders and the objects folder (which may have gained a folder).
Status syncSnapshot(git_repository* repository, NewObjects& added, const git_oid* commit) {
  const std::string objects = std::string(git_repository_path(repository)) + "objects";
  const bool each =
      !kCanSyncFileSystem || added.files.size() + added.trees.size() <= kSyncedOneByOne;
  std::set<std::string> folders;
  std::vector<std::string> empty;
  for (const auto* ids : {&added.files, &added.trees}) {
    if (Status synced = syncObjects(repository, *ids, each, folders, empty); !synced.ok()) {
      return synced;
    }
  }
  if (!empty.empty()) {
    // Stored before a power cut and never synced: as git's loose objects are
    // found by name alone, it would stand for the content forever.
    for (const std::string& path : empty) ::unlink(path.c_str());
    const auto count = static_cast<unsigned long>(empty.size());
    return Status::failure(Status::Kind::damaged,
                           formatted(ngettext("%lu stored object was found empty or damaged and "
                                              "has been removed; the next snapshot stores it again",
                                              "%lu stored objects were found empty or damaged and "
                                              "have been removed; the next snapshot stores them "
                                              "again",
                                              count),
                                     count),
                           EAGAIN);
  }
  if (!each) return syncFileSystemOf(objects);
  if (commit != nullptr) {
    if (Status synced = syncObjects(repository, {*commit}, true, folders, empty);
        !synced.ok() || !empty.empty()) {
      return synced.ok() ? Status::failure(Status::Kind::damaged, _("the new commit is empty"), EIO)
                         : synced;
    }
  }
  if (Status synced = syncFolders(folders); !synced.ok()) return synced;
  return syncPath(objects);
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

std::string logLine(const git_oid* from, const git_oid& to, std::int64_t time,
                    const std::string& why) {
  git_oid none;
  git_oid_fromstr(&none, "0000000000000000000000000000000000000000");
  return hex(from != nullptr ? *from : none) + " " + hex(to) + " " + kSignatureName + " <" +
         kSignatureEmail + "> " + std::to_string(time) + " +0000\t" + firstLine(why) + "\n";
}

Status syncNewObjects(git_repository* repository, const std::vector<git_oid>& ids) {
  NewObjects added{repository, {}, ids, {}};
  return syncSnapshot(repository, added, nullptr);
}

Status replaceBranch(git_repository* repository, const std::string& branch, const git_oid& to,
                     const std::string& log) {
  const std::string gitDir = git_repository_path(repository);
  for (const std::string& file : {gitDir + "logs/" + branch, gitDir + "logs/HEAD"}) {
    if (Status made = makeFolders(folderOf(file)); !made.ok()) return made;
    if (Status replaced = replaceFile(file, log); !replaced.ok()) return replaced;
  }
  return replaceFile(gitDir + branch, hex(to) + "\n");
}

Status setReference(git_repository* repository, const std::string& name, const git_oid* from,
                    const git_oid& to, const std::string& why, bool alsoHead) {
  const std::string gitDir = git_repository_path(repository);
  const std::string line = logLine(from, to, std::time(nullptr), why);
  const std::string log = gitDir + "logs/" + name;
  if (Status made = makeFolders(folderOf(log)); !made.ok()) return made;
  if (Status logged = appendLine(log, line); !logged.ok()) return logged;
  if (alsoHead) {
    if (Status logged = appendLine(gitDir + "logs/HEAD", line); !logged.ok()) return logged;
  }
  const std::string file = gitDir + name;
  if (Status made = makeFolders(folderOf(file)); !made.ok()) return made;
  return replaceFile(file, hex(to) + "\n");
}

std::vector<git_oid> formerTips(git_repository* repository, const std::string& branch) {
  const std::string gitDir = git_repository_path(repository);
  std::vector<git_oid> tips;
  std::unordered_set<std::string> seen{std::string(GIT_OID_RAWSZ, '\0')};
  for (const std::string& log : {gitDir + "logs/" + branch, gitDir + "logs/HEAD"}) {
    std::ifstream in(log, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
      // "OLD NEW name <email> time zone\tmessage", each id 40 hex digits.
      constexpr std::size_t kHex = GIT_OID_HEXSZ;
      if (line->size() < 2 * kHex + 2 || (*line)[kHex] != ' ' || (*line)[2 * kHex + 1] != ' ') {
        continue;
      }
      for (std::size_t at : {kHex + 1, std::size_t{0}}) {
        git_oid oid;
        if (git_oid_fromstrn(&oid, line->data() + at, kHex) == 0 &&
            seen.insert(rawKey(oid)).second) {
          tips.push_back(oid);
        }
      }
    }
  }
  return tips;
}

Status forgetInLogs(git_repository* repository, const std::string& branch,
                    const std::vector<git_oid>& gone) {
  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  std::unordered_set<std::string> dropped;
  for (const git_oid& oid : gone) dropped.insert(rawKey(oid));
  const std::string gitDir = git_repository_path(repository);
  constexpr std::size_t kHex = GIT_OID_HEXSZ;
  for (const std::string& log : {gitDir + "logs/" + branch, gitDir + "logs/HEAD"}) {
    std::ifstream in(log, std::ios::binary);
    if (!in) continue;
    std::string kept, previous = std::string(kHex, '0');
    bool changed = false;
    for (std::string line; std::getline(in, line);) {
      git_oid to;
      const bool whole = line.size() > 2 * kHex + 2 && line[kHex] == ' ' &&
                         line[2 * kHex + 1] == ' ' &&
                         git_oid_fromstrn(&to, line.data() + kHex + 1, kHex) == 0;
      if (!whole || dropped.count(rawKey(to)) > 0 || !git_odb_exists(odb->get(), &to)) {
        changed = true;
        continue;
      }
      if (line.compare(0, kHex, previous) != 0) {
        line.replace(0, kHex, previous);
        changed = true;
      }
      previous = line.substr(kHex + 1, kHex);
      kept += line + "\n";
    }
    if (!changed) continue;
    if (Status replaced = replaceFile(log, kept); !replaced.ok()) return replaced;
  }
  return Status();
}

Result<std::string> recordSnapshot(git_repository* repository, const git_oid& tree, Reason reason,
                                   const std::string& root) {
  auto head = headCommit(repository);
  if (!head.ok() && head.status().kind() != Status::Kind::noHistory) return head.status();
  if (head.ok() && git_oid_equal(git_commit_tree_id(head->get()), &tree)) return std::string();
  git_tree* rawTree = nullptr;
  if (git_tree_lookup(&rawTree, repository, &tree) != 0) {
    return unreadable(repository, tree, _("cannot read a tree"));
  }
  Tree treeObject(rawTree);
  git_tree* rawBefore = nullptr;
  if (head.ok() && git_commit_tree(&rawBefore, head->get()) != 0) {
    return gitFailure(_("cannot read the newest snapshot"), Status::Kind::damaged);
  }
  Tree before(rawBefore);
  NewObjects added{repository, {}, {}, {}};
  if (Status collected = added.collect(before.get(), tree); !collected.ok()) return collected;
  if (Status synced = syncSnapshot(repository, added, nullptr); !synced.ok()) return synced;

  git_signature* rawSignature = nullptr;
  if (git_signature_now(&rawSignature, kSignatureName, kSignatureEmail) != 0) {
    return gitFailure(_("cannot sign"));
  }
  Signature signature(rawSignature);
  const std::string message = snapshotMessage(reason, root);
  const git_commit* parents[1] = {head.ok() ? head->get() : nullptr};
  git_oid commit;
  if (git_commit_create(&commit, repository, nullptr, signature.get(), signature.get(), nullptr,
                        message.c_str(), treeObject.get(), head.ok() ? 1 : 0, parents) != 0) {
    return gitFailure(_("cannot record the snapshot"));
  }
  NewObjects none{repository, {}, {}, {}};
  if (Status synced = syncSnapshot(repository, none, &commit); !synced.ok()) return synced;
  auto branch = branchName(repository);
  if (!branch.ok()) return branch.status();
  const std::string why = (head.ok() ? "commit: " : "commit (initial): ") + message;
  if (Status moved =
          setReference(repository, *branch, head.ok() ? git_commit_id(head->get()) : nullptr,
                       commit, why, /*alsoHead=*/true);
      !moved.ok()) {
    return Status::failure(moved.kind(),
                           formatted(_("cannot move the branch: %s"), moved.message().c_str()),

                           moved.errorNumber());
  }
  return hex(commit);
}

}  // namespace tarvine::history
