#include "history/TreeWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "history/GitObjects.h"
#include "history/StoredNames.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

std::string shown(const std::string& relative) { return relative.empty() ? "the root" : relative; }

}  // namespace

TreeWriter::TreeWriter(Setting setting, Snapshot& report)
    : setting_(std::move(setting)), report_(report) {
  seen_.reserve(setting_.previous.files.size());
}

bool TreeWriter::ignored(const std::string& path, const struct stat& info) const {
  if (!setting_.hasIgnoreRules) return false;
  int ignored = 0;
  const std::string asked = S_ISDIR(info.st_mode) ? path + "/" : path;
  return git_ignore_path_is_ignored(&ignored, setting_.repository, asked.c_str()) == 0 && ignored;
}

Result<git_oid> TreeWriter::folder(int fd, const std::string& relative) {
  git_treebuilder* raw = nullptr;
  if (git_treebuilder_new(&raw, setting_.repository, nullptr) != 0) return gitFailure("tree");
  TreeBuilder builder(raw);
  std::vector<std::string> names;
  if (setting_.access.list(fd, names) != 0) return systemFailure("cannot list " + shown(relative));
  for (const std::string& name : names) {
    if (name.rfind(History::restoringPrefix, 0) == 0) continue;
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat info {};
    if (setting_.access.statAt(fd, name, info) != 0) continue;  // gone
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
      if (!child.valid()) {
        report_.skipped.push_back(path + ": " + std::strerror(errno));
        continue;
      }
      oid = folder(child.get(), path);
      mode = GIT_FILEMODE_TREE;
    } else if (S_ISREG(info.st_mode)) {
      oid = file(fd, name, path, info);
      mode = (info.st_mode & 0111) != 0 ? GIT_FILEMODE_BLOB_EXECUTABLE : GIT_FILEMODE_BLOB;
    } else if (S_ISLNK(info.st_mode)) {
      oid = link(fd, name, info);
      mode = GIT_FILEMODE_LINK;
    } else {
      continue;  // FIFOs, sockets and devices hold no content of their own
    }
    if (fatal_) return *fatal_;
    if (!oid->ok()) {
      report_.skipped.push_back(path + ": " + oid->status().message());
      continue;
    }
    if (git_treebuilder_insert(nullptr, builder.get(), storedName(name).c_str(), &**oid, mode) !=
        0) {
      return gitFailure("cannot record " + path);
    }
  }
  git_oid tree;
  if (git_treebuilder_write(&tree, builder.get()) != 0) {
    return gitFailure("cannot store the folder " + shown(relative));
  }
  return tree;
}

Result<git_oid> TreeWriter::file(int parent, const std::string& name, const std::string& path,
                                 const struct stat& listed) {
  if (const CachedFile* cached = setting_.previous.trusted(path, listed)) {
    seen_.emplace(path, *cached);
    return cached->blob;
  }
  FileDescriptor fd(setting_.access.openFile(parent, name));
  if (!fd.valid()) return systemFailure("cannot open");
  struct stat info {};
  if (setting_.access.statOpen(fd.get(), info) != 0 || !S_ISREG(info.st_mode)) {
    return systemFailure("changed");
  }
  // Streamed in pieces, so that a file larger than memory can be kept.
  git_odb_stream* stream = nullptr;
  if (git_odb_open_wstream(&stream, setting_.odb, static_cast<git_object_size_t>(info.st_size),
                           GIT_OBJECT_BLOB) != 0) {
    return storeFailed(path);
  }
  OdbStream owner(stream);
  std::vector<char> buffer(kStreamPieceBytes);
  std::int64_t left = info.st_size;
  while (left > 0) {
    const ssize_t got =
        setting_.access.read(fd.get(), buffer.data(), std::min<std::int64_t>(left, buffer.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return systemFailure("cannot read");
    if (got == 0) return Status::error("changed while it was read", EAGAIN);
    if (git_odb_stream_write(stream, buffer.data(), static_cast<size_t>(got)) != 0) {
      return storeFailed(path);
    }
    left -= got;
  }
  git_oid oid;
  if (git_odb_stream_finalize_write(&oid, stream) != 0) return storeFailed(path);
  ++report_.filesRead;
  seen_[path] = cachedOf(info, oid);
  return oid;
}

Result<git_oid> TreeWriter::link(int parent, const std::string& name, const struct stat& info) {
  std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
  const ssize_t length = setting_.access.readLink(parent, name, target.data(), target.size());
  if (length < 0) return systemFailure("cannot read the link");
  git_oid oid;
  if (git_blob_create_from_buffer(&oid, setting_.repository, target.data(),
                                  static_cast<size_t>(length)) != 0) {
    return storeFailed(name);
  }
  return oid;
}

Status TreeWriter::storeFailed(const std::string& path) {
  fatal_ = gitFailure("cannot store " + path);
  return *fatal_;
}

}  // namespace tarvine::history
