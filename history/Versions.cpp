// Reading the history: a path's versions, a folder's files as a version has
// them, a file's content as it was, and what a file would be recorded as now.

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>

#include "foundation/TextSplit.h"
#include "history/Blobs.h"
#include "history/Chunks.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/StatCache.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

constexpr std::string_view kReasonTrailer = "Tarvine-Reason: ";

// How many files differ between two trees of one folder (either may be
// absent). A file kept in chunks counts once, however many chunks changed.
std::size_t changedFiles(git_repository* repository, const Entry& older, const Entry& newer) {
  auto treeOf = [&](const Entry& entry) {
    git_tree* tree = nullptr;
    if (entry.oid && entry.mode == GIT_FILEMODE_TREE)
      git_tree_lookup(&tree, repository, &*entry.oid);
    return Tree(tree);
  };
  const Tree before = treeOf(older), after = treeOf(newer);
  git_diff* diff = nullptr;
  if (git_diff_tree_to_tree(&diff, repository, before.get(), after.get(), nullptr) != 0) return 0;
  // Whether a folder of either tree is a chunked file, by its path.
  std::map<std::string, bool> chunked;
  const auto isChunked = [&](const std::string& folder) {
    auto [known, added] = chunked.emplace(folder, false);
    if (!added) return known->second;
    for (git_tree* tree : {before.get(), after.get()}) {
      git_tree_entry* raw = nullptr;
      if (tree == nullptr || git_tree_entry_bypath(&raw, tree, folder.c_str()) != 0) continue;
      const TreeEntry entry(raw);
      if (git_tree_entry_type(raw) == GIT_OBJECT_TREE &&
          chunkedFile(repository, *git_tree_entry_id(raw))) {
        return known->second = true;
      }
    }
    return false;
  };
  std::set<std::string> files;
  for (std::size_t i = 0, count = git_diff_num_deltas(diff); i < count; ++i) {
    const git_diff_delta* delta = git_diff_get_delta(diff, i);
    std::string path = delta->new_file.path != nullptr ? delta->new_file.path : "";
    if (const auto slash = path.find_last_of('/');
        slash != std::string::npos && isChunked(path.substr(0, slash))) {
      path.resize(slash);
    }
    files.insert(std::move(path));
  }
  git_diff_free(diff);
  return files.size();
}

std::optional<std::uint64_t> sizeOf(git_odb* odb, const git_oid& oid) {
  size_t size = 0;
  git_object_t type;
  if (git_odb_read_header(&size, &type, odb, &oid) != 0) return std::nullopt;
  return size;
}

}  // namespace

std::string snapshotMessage(Reason reason, const std::string& root) {
  return std::string(reasonName(reason)) + " snapshot of " + root + "\n\n" +
         std::string(kReasonTrailer) + std::string(reasonName(reason)) + "\n";
}

Reason reasonOf(git_commit* commit) {
  const std::string message = git_commit_message(commit);
  const auto at = message.find(kReasonTrailer);
  if (at != std::string::npos) {
    const std::string name = message.substr(at + kReasonTrailer.size(),
                                            message.find('\n', at) - at - kReasonTrailer.size());
    for (Reason reason :
         {Reason::automatic, Reason::manual, Reason::enabled, Reason::beforeRestore}) {
      if (reasonName(reason) == name) return reason;
    }
  }
  return Reason::manual;
}

Result<std::vector<Version>> History::versions(const std::string& relative, std::size_t limit) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  const std::string path = storedPath(*parts, naming_);
  std::vector<Version> found;
  auto head = headCommit(repository_);
  if (!head.ok()) {
    if (head.status().kind() == Status::Kind::noHistory) return found;
    return head.status();
  }
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  // Newest first along the snapshots; each compared with the one before it.
  Commit current = std::move(*head);
  auto newest = entryAt(current.get(), path);
  if (!newest.ok()) return newest.status();
  Entry currentEntry = *newest;
  while (current && found.size() < limit) {
    Commit parent = parentOf(current.get());
    auto read = parent ? entryAt(parent.get(), path) : Result<Entry>(Entry{});
    if (!read.ok()) return read.status();
    const Entry older = *read;
    // A chunked file is compared by its content: a large file stored whole
    // by an earlier version and in chunks since is one version.
    const bool stored = !currentEntry.sameAs(older);
    const Resolved now = stored ? resolved(repository_, currentEntry) : Resolved{};
    const Resolved then = stored ? resolved(repository_, older) : Resolved{};
    if (stored && !now.entry.sameAs(then.entry)) {
      Version version;
      version.id = hex(*git_commit_id(current.get()));
      version.time = git_commit_time(current.get());
      version.reason = reasonOf(current.get());
      version.change = !older.oid          ? Version::Change::added
                       : !currentEntry.oid ? Version::Change::deleted
                                           : Version::Change::modified;
      if (now.entry.oid) version.object = hex(*now.entry.oid);
      version.isFolder = (now.entry.oid ? now.entry.mode : then.entry.mode) == GIT_FILEMODE_TREE;
      if (version.isFolder) {
        version.changedFiles = changedFiles(repository_, older, currentEntry);
      } else if (now.file) {
        version.size = now.file->size;
      } else if (now.entry.oid) {
        version.size = sizeOf(odb->get(), *now.entry.oid);
      }
      found.push_back(std::move(version));
    }
    current = std::move(parent);
    currentEntry = older;
  }
  return found;
}

Result<std::string> History::currentObject(const std::string& relative) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  if (parts->empty()) {
    return Status::failure(Status::Kind::invalid, _("the root is a folder"), EISDIR);
  }
  const std::string path = shownPath(relative);
  // Reached as snapshots reach it: from the root, never through a link.
  int error = 0;
  FileDescriptor folder(access_.openRoot(root_));
  if (!folder.valid()) error = errno;
  for (std::size_t i = 0; error == 0 && i + 1 < parts->size(); ++i) {
    const int next = access_.openFolder(folder.get(), (*parts)[i]);
    if (next < 0) error = errno;
    folder = FileDescriptor(next);
  }
  struct stat info {};
  if (error == 0 && access_.statAt(folder.get(), parts->back(), info) != 0) error = errno;
  if (error == ENOENT || error == ENOTDIR) return std::string();
  if (error != 0) {
    errno = error;
    return systemFailure(formatted(_("cannot read %s"), path.c_str()));
  }
  if (S_ISLNK(info.st_mode)) {
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length =
        access_.readLink(folder.get(), parts->back(), target.data(), target.size());
    if (length < 0) return systemFailure(formatted(_("cannot read %s"), path.c_str()));
    git_oid oid;
    if (git_odb_hash(&oid, target.data(), static_cast<size_t>(length), GIT_OBJECT_BLOB) != 0) {
      return gitFailure(formatted(_("cannot hash %s"), path.c_str()));
    }
    return hex(oid);
  }
  if (!S_ISREG(info.st_mode)) {
    return Status::failure(Status::Kind::invalid, formatted(_("%s is not a file"), path.c_str()),
                           EISDIR);
  }
  // A file unchanged since the last snapshot has the id that snapshot
  // recorded: a large file is not read again each time its versions are shown.
  const std::vector<std::string> above(parts->begin(), parts->end() - 1);
  const auto cached = StatCache::open(statCachePath_, /*writable=*/false)->folder(joined(above));
  if (const CachedEntry* entry = cached ? cached->trusted(parts->back(), info) : nullptr;
      entry != nullptr && entry->mode != GIT_FILEMODE_LINK) {
    // Kept in chunks, it has its content's id, as versions give it.
    return hex(*resolved(repository_, Entry{entry->oid, static_cast<git_filemode_t>(entry->mode)})
                    .entry.oid);
  }
  FileDescriptor file(access_.openFile(folder.get(), parts->back()));
  if (!file.valid() || access_.statOpen(file.get(), info) != 0) {
    return systemFailure(formatted(_("cannot read %s"), path.c_str()));
  }
  auto oid = hashFile(access_, file.get(), static_cast<std::uint64_t>(info.st_size));
  if (!oid.ok()) return oid.status();
  return hex(*oid);
}

Result<std::vector<VersionFile>> History::files(const std::string& id,
                                                const std::string& relative) {
  return listFiles(id, relative, /*sizes=*/true);
}

Result<std::vector<VersionFile>> History::fileList(const std::string& id,
                                                   const std::string& relative) {
  return listFiles(id, relative, /*sizes=*/false);
}

Result<std::vector<std::optional<std::uint64_t>>> History::fileSizes(
    const std::string& id, const std::string& relative, const std::vector<std::string>& paths) {
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  std::vector<std::optional<std::uint64_t>> sizes;
  sizes.reserve(paths.size());
  for (const std::string& path : paths) {
    auto parts = components(relative.empty() ? path : relative + "/" + path);
    if (!parts.ok()) return parts.status();
    auto found = entryAt(commit->get(), storedPath(*parts, naming_));
    if (!found.ok()) return found.status();
    const Resolved entry = resolved(repository_, *found);
    if (entry.file) {
      sizes.push_back(entry.file->size);
    } else if (entry.entry.oid && entry.entry.mode != GIT_FILEMODE_TREE) {
      sizes.push_back(sizeOf(odb->get(), *entry.entry.oid));
    } else {
      sizes.push_back(std::nullopt);
    }
  }
  return sizes;
}

Result<std::vector<VersionFile>> History::listFiles(const std::string& id,
                                                    const std::string& relative, bool sizes) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  auto found = entryAt(commit->get(), storedPath(*parts, naming_));
  if (!found.ok()) return found.status();
  const Entry entry = resolved(repository_, *found).entry;
  if (!entry.oid || entry.mode != GIT_FILEMODE_TREE) {
    return Status::failure(
        Status::Kind::notFound,
        formatted(_("%s is not a folder in version %s"), shownPath(relative).c_str(), id.c_str()),
        ENOTDIR);
  }
  git_tree* raw = nullptr;
  if (git_tree_lookup(&raw, repository_, &*entry.oid) != 0) {
    return gitFailure(_("cannot read"), Status::Kind::damaged);
  }
  Tree tree(raw);
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  struct Walk {
    git_repository* repository;
    git_odb* odb;
    Naming naming;
    bool sizes;
    std::vector<VersionFile> files;
  } walk{repository_, odb->get(), naming_, sizes, {}};
  const int walked = git_tree_walk(
      raw, GIT_TREEWALK_PRE,
      [](const char* root, const git_tree_entry* entry, void* payload) -> int {
        auto* walk = static_cast<Walk*>(payload);
        // A chunked file is one file, and its chunks are not walked.
        const auto chunked = git_tree_entry_type(entry) == GIT_OBJECT_TREE
                                 ? chunkedFile(walk->repository, *git_tree_entry_id(entry))
                                 : std::nullopt;
        if (git_tree_entry_type(entry) != GIT_OBJECT_BLOB && !chunked) return 0;
        std::string path;
        for (std::string_view part : splitNonEmpty(root, '/')) {
          path += realName(part, walk->naming) + "/";
        }
        VersionFile file{path + realName(git_tree_entry_name(entry), walk->naming), 0,
                         git_tree_entry_filemode(entry) == GIT_FILEMODE_LINK};
        if (chunked) {
          file.size = chunked->size;  // read already, to tell it from a folder
        } else if (walk->sizes) {
          file.size = sizeOf(walk->odb, *git_tree_entry_id(entry)).value_or(0);
        } else {
          file.sized = false;
        }
        walk->files.push_back(std::move(file));
        return chunked ? 1 : 0;
      },
      &walk);
  // A folder below that cannot be read fails the listing: shown without it,
  // its files would look deleted.
  if (walked != 0) return gitFailure(_("cannot read"), Status::Kind::damaged);
  std::sort(walk.files.begin(), walk.files.end(),
            [](const VersionFile& a, const VersionFile& b) { return a.path < b.path; });
  return std::move(walk.files);
}

Status History::writeFileVersion(const std::string& id, const std::string& relative, int fd) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  auto found = entryAt(commit->get(), storedPath(*parts, naming_));
  if (!found.ok()) return found.status();
  const Resolved entry = resolved(repository_, *found);
  if (!entry.entry.oid || entry.entry.mode == GIT_FILEMODE_TREE) {
    return Status::failure(
        Status::Kind::notFound,
        formatted(_("%s is not a file in version %s"), relative.c_str(), id.c_str()),

        ENOENT);
  }
  return copyFile(PosixFolderAccess::shared(), repository_, entry.stored(), entry.file.has_value(),
                  fd);
}

}  // namespace tarvine::history
