// Save a Copy: a version of a file or folder written to a place of the user's
// choosing, through the same streamed writer a restore uses (copyFile), and
// renamed into place only once it is whole.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

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

constexpr std::string_view kPartMark = ".tarvine-copy-";

// One thing to write: a folder, or a file (a link among them).
struct Item {
  std::string path;  // below the copy, its names as the user knows them; "" for the copy itself
  bool folder = false;
  git_oid stored{};
  bool chunked = false;
  git_filemode_t mode = GIT_FILEMODE_BLOB;
  std::uint64_t size = 0;
};

struct Gather {
  git_repository* repository;
  git_odb* odb;
  Naming naming;
  std::vector<Item> items;
};

int gather(const char* root, const git_tree_entry* entry, void* payload) {
  auto* walk = static_cast<Gather*>(payload);
  Item item;
  for (std::string_view part : splitNonEmpty(root, '/')) {
    item.path += realName(part, walk->naming) + "/";
  }
  item.path += realName(git_tree_entry_name(entry), walk->naming);
  item.stored = *git_tree_entry_id(entry);
  item.mode = git_tree_entry_filemode(entry);
  if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
    // A chunked file is one file, and its chunks are not walked.
    if (auto chunked = chunkedFile(walk->repository, item.stored)) {
      item.chunked = true;
      item.mode = chunked->mode;
      item.size = chunked->size;
      walk->items.push_back(std::move(item));
      return 1;
    }
    item.folder = true;
  } else if (git_tree_entry_type(entry) == GIT_OBJECT_BLOB) {
    size_t size = 0;
    git_object_t type;
    if (git_odb_read_header(&size, &type, walk->odb, &item.stored) == 0) item.size = size;
  } else {
    return 0;  // a submodule's commit: nothing to write
  }
  walk->items.push_back(std::move(item));
  return 0;
}

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// Writes `item` at `path`; a file's or link's status, taken right after it
// was written, into `*taken` unless null (and unless it could not be taken).
Status write(git_repository* repository, const Item& item, const std::string& path,
             std::optional<WrittenFile>* taken) {
  if (item.folder) {
    if (::mkdir(path.c_str(), 0777) != 0) {
      return systemFailure(formatted(_("cannot make %s"), path.c_str()));
    }
    return Status();
  }
  if (item.mode == GIT_FILEMODE_LINK) {
    FileDescriptor memory(::memfd_create("tarvine-link", MFD_CLOEXEC));
    if (!memory.valid()) return systemFailure(formatted(_("cannot write %s"), path.c_str()));
    Status read =
        copyFile(PosixFolderAccess::shared(), repository, item.stored, false, memory.get());
    if (!read.ok()) return read;
    std::string target(std::min<std::uint64_t>(item.size, PATH_MAX), '\0');
    const ssize_t length = ::pread(memory.get(), target.data(), target.size(), 0);
    if (length < 0) return systemFailure(formatted(_("cannot write %s"), path.c_str()));
    target.resize(static_cast<std::size_t>(length));
    if (::symlink(target.c_str(), path.c_str()) != 0) {
      return systemFailure(formatted(_("cannot write %s"), path.c_str()));
    }
    struct stat info {};
    if (taken != nullptr && ::lstat(path.c_str(), &info) == 0) *taken = WrittenFile::of(info);
    return Status();
  }
  const mode_t mode = item.mode == GIT_FILEMODE_BLOB_EXECUTABLE ? 0777 : 0666;
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) return systemFailure(formatted(_("cannot write %s"), path.c_str()));
  Status copied = copyFile(PosixFolderAccess::shared(), repository, item.stored, item.chunked,
                           fd.get(), Holes::kept);
  if (!copied.ok()) return copied;
  // At once, before it is closed: a change by anyone else from now on shows
  // as another status.
  struct stat info {};
  if (taken != nullptr && ::fstat(fd.get(), &info) == 0) *taken = WrittenFile::of(info);
  if (fd.close() != 0) return systemFailure(formatted(_("cannot write %s"), path.c_str()));
  return Status();
}

}  // namespace

WrittenFile WrittenFile::of(const struct stat& info) {
  return {static_cast<std::int64_t>(info.st_size), nanoseconds(info.st_mtim),
          nanoseconds(info.st_ctim), static_cast<std::uint64_t>(info.st_ino),
          static_cast<std::uint32_t>(info.st_mode)};
}

Status History::saveCopy(const std::string& id, const std::string& relative,
                         const std::string& destination,
                         const std::function<bool(const CopyProgress&)>& progress) {
  return saveCopy(id, relative, destination, progress, nullptr);
}

Status History::saveCopy(const std::string& id, const std::string& relative,
                         const std::string& destination,
                         const std::function<bool(const CopyProgress&)>& progress,
                         WrittenFiles* written) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  // Where it goes, its folder's links resolved, as the original's are.
  const std::filesystem::path wanted(destination);
  if (!wanted.is_absolute() || !wanted.has_filename()) {
    return Status::failure(Status::Kind::invalid,
                           formatted(_("%s is not a place to copy to"), destination.c_str()),
                           EINVAL);
  }
  char* resolvedParent = ::realpath(wanted.parent_path().c_str(), nullptr);
  if (resolvedParent == nullptr) {
    return systemFailure(formatted(_("cannot write to %s"), destination.c_str()));
  }
  const std::string parent = resolvedParent;
  std::free(resolvedParent);
  const std::string name = wanted.filename().string();
  const std::string place = (parent == "/" ? "" : parent) + "/" + name;
  const std::string original = relative.empty() ? root_ : root_ + "/" + relative;
  const std::string own = repository();
  if (place == original || (place + "/").rfind(own, 0) == 0 || own.rfind(place + "/", 0) == 0) {
    return Status::failure(
        Status::Kind::refused,
        formatted(_("a copy is never written over %s or its history"), original.c_str()), EEXIST);
  }

  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  auto found = entryAt(commit->get(), storedPath(*parts, naming_));
  if (!found.ok()) return found.status();
  if (!found->oid) {
    return Status::failure(
        Status::Kind::notFound,
        formatted(_("%s is not in version %s"), shownPath(relative).c_str(), shortId(id).c_str()),
        ENOENT);
  }
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  Gather gathered{repository_, odb->get(), naming_, {}};
  const Resolved entry = resolved(repository_, *found);
  Item top;
  top.stored = entry.stored();
  top.chunked = entry.file.has_value();
  top.mode = entry.file ? entry.file->mode : entry.entry.mode;
  top.folder = entry.entry.mode == GIT_FILEMODE_TREE && !entry.file;
  if (entry.file) {
    top.size = entry.file->size;
  } else if (!top.folder) {
    size_t size = 0;
    git_object_t type;
    if (git_odb_read_header(&size, &type, odb->get(), &top.stored) == 0) top.size = size;
  }
  gathered.items.push_back(top);
  if (top.folder) {
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository_, &top.stored) != 0) {
      return gitFailure(_("cannot read"), Status::Kind::damaged);
    }
    const Tree tree(raw);
    if (git_tree_walk(raw, GIT_TREEWALK_PRE, gather, &gathered) != 0) {
      return gitFailure(_("cannot read"), Status::Kind::damaged);
    }
  }
  CopyProgress done;
  for (const Item& item : gathered.items) {
    if (item.folder) continue;
    ++done.allFiles;
    done.allBytes += item.size;
  }

  // Beside its place under a name of its own, then renamed there whole.
  std::string partial = parent + "/." + name + std::string(kPartMark) + "XXXXXX";
  {
    // A name no one else has; then made again as the copy's top, with the
    // permissions the user's umask gives.
    const int made = ::mkstemp(partial.data());
    if (made < 0) return systemFailure(formatted(_("cannot write to %s"), parent.c_str()));
    ::close(made);
    ::unlink(partial.c_str());
  }
  if (top.folder && ::mkdir(partial.c_str(), 0777) != 0) {
    return systemFailure(formatted(_("cannot write to %s"), parent.c_str()));
  }
  const auto removePartial = [&] {
    std::error_code ignored;
    std::filesystem::remove_all(partial, ignored);
  };
  for (const Item& item : gathered.items) {
    if (item.path.empty() && item.folder) continue;  // made above
    std::optional<WrittenFile> taken;
    Status wrote = write(repository_, item, item.path.empty() ? partial : partial + "/" + item.path,
                         written != nullptr ? &taken : nullptr);
    if (!wrote.ok()) {
      removePartial();
      return wrote;
    }
    if (item.folder) continue;
    if (taken) written->insert_or_assign(item.path, *taken);
    ++done.files;
    done.bytes += item.size;
    if (progress && !progress(done)) {
      removePartial();
      return Status::failure(Status::Kind::failed, _("the copy was stopped"), ECANCELED);
    }
  }
  // A folder never replaces anything; a file replaces one the user chose to.
  const int renamed =
      top.folder ? ::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, place.c_str(), RENAME_NOREPLACE)
                 : ::rename(partial.c_str(), place.c_str());
  if (renamed != 0) {
    const int error = errno;
    removePartial();
    errno = error;
    return systemFailure(formatted(_("cannot write %s"), place.c_str()));
  }
  return Status();
}

}  // namespace tarvine::history
