#include "history/TreeWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "history/Blobs.h"
#include "history/Chunks.h"
#include "history/StoredNames.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// The errno of a reading during which the file changed (hashFile says so too).
constexpr int kChanged = EAGAIN;

std::string shown(const std::string& relative) { return relative.empty() ? "the root" : relative; }

Status changedWhileRead() {
  return Status::failure(Status::Kind::failed, "changed while it was read", kChanged);
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
    : setting_(std::move(setting)), report_(report) {
  seen_.reserve(setting_.previous.files.size());
}

bool TreeWriter::ignored(const std::string& path, const struct stat& info) const {
  if (!setting_.hasIgnoreRules) return false;
  if (setting_.keptAnyway.count(path) != 0) return false;
  int ignored = 0;
  const std::string asked = S_ISDIR(info.st_mode) ? path + "/" : path;
  return git_ignore_path_is_ignored(&ignored, setting_.repository, asked.c_str()) == 0 && ignored;
}

Result<git_oid> TreeWriter::folder(int fd, const std::string& relative) {
  git_treebuilder* raw = nullptr;
  if (git_treebuilder_new(&raw, setting_.repository, nullptr) != 0) {
    return fatal(gitFailure("cannot store the folder " + shown(relative)));
  }
  TreeBuilder builder(raw);
  std::vector<std::string> names;
  if (setting_.access.list(fd, names) != 0) return systemFailure("cannot list " + shown(relative));
  for (const std::string& name : names) {
    if (!setting_.temporaryPrefix.empty() && name.rfind(setting_.temporaryPrefix, 0) == 0) continue;
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat info {};
    if (setting_.access.statAt(fd, name, info) != 0) {
      const int error = errno;
      if (error == ENOENT || ignored(path, info)) continue;  // gone since it was listed
      const std::string why = std::string("cannot read: ") + std::strerror(error);
      if (Status kept = keepLast(builder.get(), name, path, Skipped::Kind::unreadable, why);
          !kept.ok()) {
        return kept;
      }
      continue;
    }
    if (ignored(path, info)) continue;
    std::optional<Result<git_oid>> oid;
    git_filemode_t mode;
    if (S_ISDIR(info.st_mode)) {
      const auto& excluded = setting_.excluded;
      if (std::find(excluded.begin(), excluded.end(), setting_.root + "/" + path) !=
          excluded.end()) {
        continue;
      }
      FileDescriptor child(setting_.access.openFolder(fd, name));
      if (!child.valid() && errno == ENOENT) continue;
      oid = child.valid() ? folder(child.get(), path) : systemFailure("cannot open");
      mode = GIT_FILEMODE_TREE;
    } else if (S_ISREG(info.st_mode)) {
      oid = file(fd, name, path, info);
      mode = fileEntryMode(setting_.odb, info, *oid, setting_.chunkedFileBytes);
    } else if (S_ISLNK(info.st_mode)) {
      oid = link(fd, name, info);
      mode = GIT_FILEMODE_LINK;
    } else {
      continue;  // FIFOs, sockets and devices hold no content of their own
    }
    if (fatal_) return *fatal_;
    if (!oid->ok()) {
      const Status& failed = oid->status();
      const auto kind = failed.errorNumber() == kChanged ? Skipped::Kind::changedWhileRead
                                                         : Skipped::Kind::unreadable;
      if (Status kept = keepLast(builder.get(), name, path, kind, failed.message()); !kept.ok()) {
        return kept;
      }
      continue;
    }
    if (git_treebuilder_insert(nullptr, builder.get(), storedName(name, setting_.naming).c_str(),
                               &**oid, mode) != 0) {
      return fatal(gitFailure("cannot record " + path));
    }
  }
  git_oid tree;
  if (git_treebuilder_write(&tree, builder.get()) != 0) {
    return fatal(gitFailure("cannot store the folder " + shown(relative)));
  }
  return tree;
}

Result<git_oid> TreeWriter::file(int parent, const std::string& name, const std::string& path,
                                 const struct stat& listed) {
  if (const CachedFile* cached = setting_.previous.trusted(path, listed)) {
    seen_.emplace(path, *cached);
    return cached->blob;
  }
  for (int attempt = 1;; ++attempt) {
    struct stat info {};
    Result<git_oid> read = readOnce(parent, name, path, info);
    if (read.ok()) {
      ++report_.filesRead;
      seen_[path] = cachedOf(info, *read);
      return read;
    }
    if (read.status().errorNumber() != kChanged) return read.status();
    if (attempt == kReadAttempts) {
      return Status::failure(
          Status::Kind::failed,
          "changed each of the " + std::to_string(kReadAttempts) + " times it was read", kChanged);
    }
  }
}

Result<git_oid> TreeWriter::readOnce(int parent, const std::string& name, const std::string& path,
                                     struct stat& info) {
  FileDescriptor fd(setting_.access.openFile(parent, name));
  if (!fd.valid()) return systemFailure("cannot open");
  const std::int64_t began = fileClockNow();
  if (setting_.access.statOpen(fd.get(), info) != 0) return systemFailure("cannot read");
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
  std::vector<char> buffer(kStreamPieceBytes);
  std::int64_t left = info.st_size;
  while (left > 0) {
    const ssize_t got =
        setting_.access.read(fd, buffer.data(), std::min<std::int64_t>(left, buffer.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return systemFailure("cannot read");
    if (got == 0) return changedWhileRead();  // shorter than it was
    if (git_odb_stream_write(stream, buffer.data(), static_cast<size_t>(got)) != 0) {
      return storeFailed(path);
    }
    left -= got;
  }
  // Whatever was written to it while it was read shows in its size or times.
  struct stat after {};
  if (setting_.access.statOpen(fd, after) != 0) return systemFailure("cannot read");
  if (!sameVersion(info, after)) return changedWhileRead();
  git_oid oid;
  if (git_odb_stream_finalize_write(&oid, stream) != 0) return storeFailed(path);
  return oid;
}

Result<git_oid> TreeWriter::link(int parent, const std::string& name, const struct stat& info) {
  std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
  const ssize_t length = setting_.access.readLink(parent, name, target.data(), target.size());
  if (length < 0) return systemFailure("cannot read the link");
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
      return fatal(gitFailure("cannot record " + path));
    }
    skipped.carried = true;
  }
  report_.skipped.push_back(std::move(skipped));
  return Status();
}

Status TreeWriter::storeFailed(const std::string& path) {
  return fatal(gitFailure("cannot store " + path));
}

Status TreeWriter::fatal(Status status) {
  fatal_ = status;
  return status;
}

}  // namespace tarvine::history
