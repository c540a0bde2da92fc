#include "history/TreeWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "history/Blobs.h"
#include "history/Chunks.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// The errno of a reading during which the file changed (hashFile says so too).
constexpr int kChanged = EAGAIN;

// What could not be done with the folder `relative` ("" for the watched
// folder itself), as one sentence either way.
std::string cannotStore(const std::string& relative) {
  return relative.empty() ? _("cannot store the watched folder")
                          : formatted(_("cannot store the folder %s"), relative.c_str());
}

std::string cannotList(const std::string& relative) {
  return relative.empty() ? _("cannot list the watched folder")
                          : formatted(_("cannot list %s"), relative.c_str());
}

Status changedWhileRead() {
  return Status::failure(Status::Kind::failed, _("changed while it was read"), kChanged);
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether two looks at one file saw the same version of it.
bool sameVersion(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         sameTime(a.st_mtim, b.st_mtim) && sameTime(a.st_ctim, b.st_ctim);
}

}  // namespace

TreeWriter::TreeWriter(Setting setting, Snapshot& report)
    : setting_(std::move(setting)), report_(report) {}

bool TreeWriter::ignored(const std::string& path, const struct stat& info) const {
  if (!setting_.hasIgnoreRules) return false;
  if (setting_.keptAnyway.count(path) != 0) return false;
  int ignored = 0;
  const std::string asked = S_ISDIR(info.st_mode) ? path + "/" : path;
  return git_ignore_path_is_ignored(&ignored, setting_.repository, asked.c_str()) == 0 && ignored;
}

bool TreeWriter::isExcluded(const std::string& path) const {
  const auto& excluded = setting_.excluded;
  return std::find(excluded.begin(), excluded.end(), setting_.root + "/" + path) != excluded.end();
}

bool TreeWriter::changedBelow(const std::string& relative) const {
  const std::string prefix = relative.empty() ? "" : relative + "/";
  const auto found = setting_.changed->upper_bound(prefix);
  return found != setting_.changed->end() && found->compare(0, prefix.size(), prefix) == 0;
}

bool TreeWriter::usable(const git_oid& oid) const {
  return !setting_.verifyCached || git_odb_exists(setting_.odb, &oid) == 1;
}

Result<git_oid> TreeWriter::folder(int fd, const std::string& relative) {
  return walk(fd, relative, setting_.lastTree, setting_.changed == nullptr);
}

Result<git_oid> TreeWriter::walk(int fd, const std::string& relative, const git_tree* last,
                                 bool whole) {
  // Without a tree of its own in the last snapshot, a folder is new: all of it is read.
  if (whole || last == nullptr || setting_.changed->count(relative) != 0) {
    // A folder moved in may stand where another of its name was: nothing of
    // that one's trees is its own.
    return readFolder(fd, relative, last,
                      whole || last == nullptr || setting_.wholeBelow.count(relative) != 0);
  }
  return along(fd, relative, last);
}

Result<git_oid> TreeWriter::along(int fd, const std::string& relative, const git_tree* last) {
  // The folders below this one that lead to changes, each by its name here.
  const std::string prefix = relative.empty() ? "" : relative + "/";
  std::set<std::string> leading;
  for (auto it = setting_.changed->upper_bound(prefix);
       it != setting_.changed->end() && it->compare(0, prefix.size(), prefix) == 0; ++it) {
    leading.insert(it->substr(prefix.size(), it->find('/', prefix.size()) - prefix.size()));
  }
  git_treebuilder* raw = nullptr;
  if (git_treebuilder_new(&raw, setting_.repository, last) != 0) {
    return fatal(gitFailure(cannotStore(relative)));
  }
  TreeBuilder builder(raw);
  bool same = true;
  std::vector<std::pair<std::string, git_oid>> updated;
  for (const std::string& name : leading) {
    const std::string path = prefix + name;
    struct stat info {};
    // What no longer is a folder here changed this folder too, whatever the
    // changes seen say: read whole.
    if (setting_.access.statAt(fd, name, info) != 0 || !S_ISDIR(info.st_mode)) {
      return readFolder(fd, relative, last, false);
    }
    if (isExcluded(path) || ignored(path, info)) continue;
    FileDescriptor child(setting_.access.openFolder(fd, name));
    if (!child.valid()) return readFolder(fd, relative, last, false);
    const std::string stored = storedName(name, setting_.naming);
    const git_tree_entry* before = git_tree_entry_byname(last, stored.c_str());
    git_tree* rawBelow = nullptr;
    if (before != nullptr && git_tree_entry_type(before) == GIT_OBJECT_TREE &&
        git_tree_lookup(&rawBelow, setting_.repository, git_tree_entry_id(before)) != 0) {
      return fatal(gitFailure(formatted(_("cannot read the last snapshot of %s"), path.c_str())));
    }
    const Tree below(rawBelow);
    Result<git_oid> oid = walk(child.get(), path, below.get(), below == nullptr);
    if (fatal_) return *fatal_;
    if (!oid.ok()) return readFolder(fd, relative, last, false);  // carried as the folder is read
    if (below != nullptr && git_oid_equal(&*oid, git_tree_id(below.get()))) continue;
    same = false;
    updated.emplace_back(name, *oid);
    if (git_treebuilder_insert(nullptr, builder.get(), stored.c_str(), &*oid, GIT_FILEMODE_TREE) !=
        0) {
      return fatal(gitFailure(formatted(_("cannot record %s"), path.c_str())));
    }
  }
  if (same) return *git_tree_id(last);
  git_oid tree;
  if (git_treebuilder_write(&tree, builder.get()) != 0) {
    return fatal(gitFailure(cannotStore(relative)));
  }
  // The folder's record, where it was of this very tree, follows: its files
  // were vouched for as they are.
  std::optional<CachedFolder> cached = setting_.cache.folder(relative);
  if (cached && git_oid_equal(&cached->tree, git_tree_id(last))) {
    bool allFound = true;
    for (const auto& [name, oid] : updated) {
      auto at = std::lower_bound(
          cached->entries.begin(), cached->entries.end(), name,
          [](const CachedEntry& entry, const std::string& key) { return entry.name < key; });
      if (at != cached->entries.end() && at->name == name) {
        at->oid = oid;
      } else {
        allFound = false;
      }
    }
    cached->tree = tree;
    if (allFound) setting_.cache.put(relative, *cached);
  }
  return tree;
}

Result<git_oid> TreeWriter::readFolder(int fd, const std::string& relative, const git_tree* last,
                                       bool whole) {
  const std::optional<CachedFolder> cached = setting_.cache.folder(relative);
  std::vector<std::string> names;
  if (setting_.access.list(fd, names) != 0) {
    return systemFailure(cannotList(relative));
  }
  std::sort(names.begin(), names.end());
  // What the cache keeps of this folder now; while everything in it is what
  // the cache had, the folder keeps the tree it had.
  std::vector<CachedEntry> recorded;
  recorded.reserve(names.size());
  bool asCached = cached.has_value() && usable(cached->tree);
  struct NotRead {
    std::string name;
    Skipped::Kind kind;
    std::string why;
  };
  std::vector<NotRead> skipped;
  // Whether a file of this folder was read, its times too recent for the
  // cache to vouch for: the folder's record is renewed even when nothing
  // changed, or the file would be read at every snapshot.
  bool readHere = false;
  for (const std::string& name : names) {
    if (!setting_.temporaryPrefix.empty() && name.rfind(setting_.temporaryPrefix, 0) == 0) continue;
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat info {};
    if (setting_.access.statAt(fd, name, info) != 0) {
      const int error = errno;
      if (error == ENOENT || ignored(path, info)) continue;  // gone since it was listed
      skipped.push_back(
          {name, Skipped::Kind::unreadable, formatted(_("cannot read: %s"), std::strerror(error))});
      continue;
    }
    if (ignored(path, info)) continue;
    const CachedEntry* before = cached ? cached->find(name) : nullptr;
    std::optional<Result<git_oid>> oid;
    CachedEntry entry{name, 0, 0, 0, 0, 0, {}};
    if (S_ISDIR(info.st_mode)) {
      if (isExcluded(path)) continue;
      entry.mode = GIT_FILEMODE_TREE;
      const git_tree_entry* lastEntry =
          last != nullptr ? git_tree_entry_byname(last, storedName(name, setting_.naming).c_str())
                          : nullptr;
      const bool lastIsTree =
          lastEntry != nullptr && git_tree_entry_type(lastEntry) == GIT_OBJECT_TREE;
      if (!whole && lastIsTree && setting_.changed->count(path) == 0 && !changedBelow(path)) {
        // Nothing changed below it: its tree of the last snapshot.
        oid = *git_tree_entry_id(lastEntry);
      } else {
        FileDescriptor child(setting_.access.openFolder(fd, name));
        if (!child.valid() && errno == ENOENT) continue;
        git_tree* rawBelow = nullptr;
        if (!whole && lastIsTree &&
            git_tree_lookup(&rawBelow, setting_.repository, git_tree_entry_id(lastEntry)) != 0) {
          return fatal(
              gitFailure(formatted(_("cannot read the last snapshot of %s"), path.c_str())));
        }
        const Tree below(rawBelow);
        oid = child.valid() ? walk(child.get(), path, below.get(), whole || below == nullptr)
                            : systemFailure(_("cannot open"));
      }
    } else if (S_ISREG(info.st_mode)) {
      entry.mode = (info.st_mode & 0111) != 0 ? GIT_FILEMODE_BLOB_EXECUTABLE : GIT_FILEMODE_BLOB;
      const std::size_t read = report_.filesRead;
      oid = file(fd, name, path, info, cached ? &*cached : nullptr, entry.mode, entry);
      readHere = readHere || report_.filesRead != read;
      // A large file stored in chunks is a tree of them; an entry the cache
      // vouched for says so already.
      if (entry.mode != GIT_FILEMODE_TREE) {
        entry.mode = fileEntryMode(setting_.odb, info, *oid, setting_.chunkedFileBytes);
      }
    } else if (S_ISLNK(info.st_mode)) {
      entry.mode = GIT_FILEMODE_LINK;
      oid = file(fd, name, path, info, cached ? &*cached : nullptr, entry.mode, entry);
    } else {
      continue;  // FIFOs, sockets and devices hold no content of their own
    }
    if (fatal_) return *fatal_;
    if (!oid->ok()) {
      const Status& failed = oid->status();
      skipped.push_back({name,
                         failed.errorNumber() == kChanged ? Skipped::Kind::changedWhileRead
                                                          : Skipped::Kind::unreadable,
                         failed.message()});
      continue;
    }
    entry.oid = **oid;
    if (before == nullptr || before->mode != entry.mode ||
        !git_oid_equal(&before->oid, &entry.oid) ||
        // a folder's record has no times; a file's (one in chunks too) has
        ((entry.mode != GIT_FILEMODE_TREE || entry.inode != 0) &&
         (before->size != entry.size || before->mtime != entry.mtime ||
          before->ctime != entry.ctime || before->inode != entry.inode))) {
      asCached = false;
    }
    recorded.push_back(std::move(entry));
  }
  if (asCached && skipped.empty() && recorded.size() == cached->entries.size()) {
    if (readHere) {
      setting_.cache.put(relative, CachedFolder{setting_.start, cached->tree, std::move(recorded)});
    }
    return cached->tree;
  }

  git_treebuilder* raw = nullptr;
  if (git_treebuilder_new(&raw, setting_.repository, nullptr) != 0) {
    return fatal(gitFailure(cannotStore(relative)));
  }
  TreeBuilder builder(raw);
  for (const CachedEntry& entry : recorded) {
    const std::string path = relative.empty() ? entry.name : relative + "/" + entry.name;
    if (git_treebuilder_insert(nullptr, builder.get(),
                               storedName(entry.name, setting_.naming).c_str(), &entry.oid,
                               static_cast<git_filemode_t>(entry.mode)) != 0) {
      return fatal(gitFailure(formatted(_("cannot record %s"), path.c_str())));
    }
  }
  // What could not be read is kept as the last snapshot had it, and left out
  // of the cache, so that it is tried again.
  for (NotRead& notRead : skipped) {
    const std::string path = relative.empty() ? notRead.name : relative + "/" + notRead.name;
    if (Status kept =
            keepLast(builder.get(), notRead.name, path, notRead.kind, std::move(notRead.why));
        !kept.ok()) {
      return kept;
    }
  }
  git_oid tree;
  if (git_treebuilder_write(&tree, builder.get()) != 0) {
    return fatal(gitFailure(cannotStore(relative)));
  }
  // Folders that are gone take their records with them.
  if (cached) {
    for (const CachedEntry& was : cached->entries) {
      if (was.mode != GIT_FILEMODE_TREE) continue;
      const auto now = std::lower_bound(
          recorded.begin(), recorded.end(), was.name,
          [](const CachedEntry& entry, const std::string& key) { return entry.name < key; });
      if (now == recorded.end() || now->name != was.name || now->mode != GIT_FILEMODE_TREE) {
        const std::string path = relative.empty() ? was.name : relative + "/" + was.name;
        setting_.cache.removeFolder(path);
      }
    }
  }
  setting_.cache.put(relative, CachedFolder{setting_.start, tree, std::move(recorded)});
  return tree;
}

Result<git_oid> TreeWriter::file(int parent, const std::string& name, const std::string& path,
                                 const struct stat& listed, const CachedFolder* cached,
                                 std::uint32_t mode, CachedEntry& recorded) {
  if (const CachedEntry* trusted = cached != nullptr ? cached->trusted(name, listed) : nullptr;
      trusted != nullptr && usable(trusted->oid) &&
      (trusted->mode == mode ||
       // a regular file kept in chunks: its tree
       (mode != GIT_FILEMODE_LINK && trusted->mode == GIT_FILEMODE_TREE))) {
    recorded = *trusted;
    return trusted->oid;
  }
  if (mode == GIT_FILEMODE_LINK) {
    Result<git_oid> oid = link(parent, name, listed);
    if (oid.ok()) recorded = cachedOf(name, mode, listed, *oid);
    return oid;
  }
  for (int attempt = 1;; ++attempt) {
    struct stat info {};
    Result<git_oid> read = readOnce(parent, name, path, info);
    if (read.ok()) {
      ++report_.filesRead;
      recorded = cachedOf(name, mode, info, *read);
      return read;
    }
    if (read.status().errorNumber() != kChanged) return read.status();
    if (attempt == kReadAttempts) {
      return Status::failure(
          Status::Kind::failed,
          formatted(ngettext("changed each of the %d time it was read",
                             "changed each of the %d times it was read", kReadAttempts),
                    kReadAttempts),
          kChanged);
    }
  }
}

Result<git_oid> TreeWriter::readOnce(int parent, const std::string& name, const std::string& path,
                                     struct stat& info) {
  FileDescriptor fd(setting_.access.openFile(parent, name));
  if (!fd.valid()) return systemFailure(_("cannot open"));
  const std::int64_t began = fileClockNow();
  if (setting_.access.statOpen(fd.get(), info) != 0) return systemFailure(_("cannot read"));
  // Replaced by a folder, a FIFO or the like since it was listed.
  if (!S_ISREG(info.st_mode)) return changedWhileRead();
  Result<git_oid> oid = store(fd.get(), info, path);
  if (!oid.ok()) return oid;
  // A change within one tick of its file system's clock can leave a file's
  // times as they were: a file whose times are not older than this reading
  // is read a second time, and kept only when both readings agree.
  if (olderThan(info.st_mtim, began) && olderThan(info.st_ctim, began)) return oid;
  FileDescriptor again(setting_.access.openFile(parent, name));
  struct stat second {};
  if (!again.valid() || setting_.access.statOpen(again.get(), second) != 0 ||
      !sameVersion(info, second)) {
    return changedWhileRead();
  }
  Result<git_oid> hashed =
      hashFile(setting_.access, again.get(), static_cast<std::uint64_t>(info.st_size));
  if (!hashed.ok()) return hashed.status();
  if (!holdsContent(setting_.repository, *oid, *hashed) ||
      setting_.access.statOpen(again.get(), second) != 0 || !sameVersion(info, second)) {
    return changedWhileRead();
  }
  return oid;
}

Result<git_oid> TreeWriter::store(int fd, const struct stat& info, const std::string& path) {
  if (static_cast<std::uint64_t>(info.st_size) >= setting_.chunkedFileBytes) {
    bool historyFailed = false;
    auto tree = storeInChunks(setting_.access, setting_.odb, fd, info, historyFailed);
    return historyFailed ? storeFailed(path) : tree;
  }
  // Streamed in pieces, so that a file larger than memory can be kept.
  git_odb_stream* stream = nullptr;
  if (git_odb_open_wstream(&stream, setting_.odb, static_cast<git_object_size_t>(info.st_size),
                           GIT_OBJECT_BLOB) != 0) {
    return storeFailed(path);
  }
  OdbStream owner(stream);  // freed unfinished, it stores nothing
  // No larger than the file: made anew for each file, a piece's worth of
  // zeros cost more than reading a small file.
  std::vector<char> buffer(std::min<std::int64_t>(info.st_size, kStreamPieceBytes));
  std::int64_t left = info.st_size;
  while (left > 0) {
    const ssize_t got =
        setting_.access.read(fd, buffer.data(), std::min<std::int64_t>(left, buffer.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return systemFailure(_("cannot read"));
    if (got == 0) return changedWhileRead();  // shorter than it was
    if (git_odb_stream_write(stream, buffer.data(), static_cast<size_t>(got)) != 0) {
      return storeFailed(path);
    }
    left -= got;
  }
  // Whatever was written to it while it was read shows in its size or times.
  struct stat after {};
  if (setting_.access.statOpen(fd, after) != 0) return systemFailure(_("cannot read"));
  if (!sameVersion(info, after)) return changedWhileRead();
  git_oid oid;
  if (git_odb_stream_finalize_write(&oid, stream) != 0) return storeFailed(path);
  return oid;
}

Result<git_oid> TreeWriter::link(int parent, const std::string& name, const struct stat& info) {
  std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
  const ssize_t length = setting_.access.readLink(parent, name, target.data(), target.size());
  if (length < 0) return systemFailure(_("cannot read the link"));
  // Longer than it was listed: made again since, and read only in part.
  if (static_cast<std::size_t>(length) == target.size()) return changedWhileRead();
  git_oid oid;
  if (git_blob_create_from_buffer(&oid, setting_.repository, target.data(),
                                  static_cast<size_t>(length)) != 0) {
    return storeFailed(name);
  }
  return oid;
}

Status TreeWriter::keepLast(git_treebuilder* builder, const std::string& name,
                            const std::string& path, Skipped::Kind kind, std::string why) {
  if (!last_) {
    auto head = headCommit(setting_.repository);
    last_.emplace(head.ok() ? std::move(*head) : Commit());
  }
  Skipped skipped{path, kind, std::move(why), false};
  auto parts = components(path);
  auto found =
      *last_ && parts.ok() ? entryAt(last_->get(), storedPath(*parts)) : Result<Entry>(Entry{});
  // What the last snapshot had there cannot be read: recorded without it,
  // the file would look deleted.
  if (!found.ok()) return fatal(found.status());
  const Entry entry = *found;
  if (entry.oid) {
    if (git_treebuilder_insert(nullptr, builder, storedName(name).c_str(), &*entry.oid,
                               entry.mode) != 0) {
      return fatal(gitFailure(formatted(_("cannot record %s"), path.c_str())));
    }
    skipped.carried = true;
  }
  report_.skipped.push_back(std::move(skipped));
  return Status();
}

Status TreeWriter::storeFailed(const std::string& path) {
  return fatal(gitFailure(formatted(_("cannot store %s"), path.c_str())));
}

Status TreeWriter::fatal(Status status) {
  fatal_ = status;
  return status;
}

}  // namespace tarvine::history
