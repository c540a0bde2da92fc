// Comparing two versions of a file, or a version with the file now: whether
// they differ, their sizes, and for text libgit2's own unified diff.

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>

#include "history/Blobs.h"
#include "history/Chunks.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// One side of a comparison.
struct Side {
  bool present = false;
  std::string id;  // the content's id, in hex
  std::uint64_t size = 0;
  std::optional<std::string> content;  // read when it is small enough to diff as text
};

// Everything `fd` holds, from its start.
Result<std::string> readBack(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return systemFailure(_("cannot compare"));
  std::string content(static_cast<std::size_t>(info.st_size), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t read =
        ::pread(fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
    if (read < 0 && errno == EINTR) continue;
    if (read <= 0) return systemFailure(_("cannot compare"));
    done += static_cast<std::size_t>(read);
  }
  return content;
}

// The side of snapshot `id` at `path` (stored form); its content when it is
// at most `limit` bytes, read as a restore reads it (chunks and loose objects
// streamed by the engine's own reader) into memory of its own.
Result<Side> storedSide(git_repository* repository, const std::string& id, const std::string& path,
                        std::uint64_t limit) {
  auto commit = commitById(repository, id);
  if (!commit.ok()) return commit.status();
  auto found = entryAt(commit->get(), path);
  if (!found.ok()) return found.status();
  Side side;
  const Resolved entry = resolved(repository, *found);
  if (!entry.entry.oid || entry.entry.mode == GIT_FILEMODE_TREE) return side;
  side.present = true;
  side.id = hex(*entry.entry.oid);
  if (entry.file) {
    side.size = entry.file->size;
  } else {
    auto odb = odbOf(repository);
    if (!odb.ok()) return odb.status();
    size_t size = 0;
    git_object_t type;
    if (git_odb_read_header(&size, &type, odb->get(), &*entry.entry.oid) != 0) {
      return gitFailure(formatted(_("cannot read %s"), path.c_str()), Status::Kind::damaged);
    }
    side.size = size;
  }
  if (side.size > limit) return side;
  FileDescriptor memory(::memfd_create("tarvine-compare", MFD_CLOEXEC));
  if (!memory.valid()) return systemFailure(_("cannot compare"));
  Status copied = copyFile(PosixFolderAccess::shared(), repository, entry.stored(),
                           entry.file.has_value(), memory.get());
  if (!copied.ok()) return copied;
  auto content = readBack(memory.get());
  if (!content.ok()) return content.status();
  side.content = std::move(*content);
  return side;
}

// The file at `parts` below `root` as it is now, reached from the root
// without following a link; a link's content is its target, as snapshots
// keep it. Absent when it is not there or is not a file.
Result<Side> currentSide(FolderAccess& access, const std::string& root,
                         const std::vector<std::string>& parts, std::uint64_t limit) {
  Side side;
  FileDescriptor folder(access.openRoot(root));
  for (std::size_t i = 0; folder.valid() && i + 1 < parts.size(); ++i) {
    folder = FileDescriptor(access.openFolder(folder.get(), parts[i]));
  }
  struct stat info {};
  if (!folder.valid() || access.statAt(folder.get(), parts.back(), info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return side;
    return systemFailure(formatted(_("cannot read %s"), parts.back().c_str()));
  }
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return side;
  side.present = true;
  side.size = static_cast<std::uint64_t>(info.st_size);
  if (side.size > limit) return side;
  std::string content(side.size, '\0');
  if (S_ISLNK(info.st_mode)) {
    content.resize(content.size() + 1);
    const ssize_t length =
        access.readLink(folder.get(), parts.back(), content.data(), content.size());
    if (length < 0) return systemFailure(formatted(_("cannot read %s"), parts.back().c_str()));
    content.resize(static_cast<std::size_t>(length));
  } else {
    FileDescriptor file(access.openFile(folder.get(), parts.back()));
    if (!file.valid()) return systemFailure(formatted(_("cannot read %s"), parts.back().c_str()));
    // It may have grown or shrunk since: what is read is what is compared.
    content.clear();
    std::string piece(kStreamPieceBytes, '\0');
    while (true) {
      const ssize_t read = access.read(file.get(), piece.data(), piece.size());
      if (read < 0 && errno == EINTR) continue;
      if (read < 0) return systemFailure(formatted(_("cannot read %s"), parts.back().c_str()));
      if (read == 0) break;
      content.append(piece.data(), static_cast<std::size_t>(read));
      if (content.size() > limit) {
        side.size = std::max<std::uint64_t>(side.size, content.size());
        return side;
      }
    }
    side.size = content.size();
  }
  git_oid oid;
  if (git_odb_hash(&oid, content.data(), content.size(), GIT_OBJECT_BLOB) != 0) {
    return gitFailure(formatted(_("cannot hash %s"), parts.back().c_str()));
  }
  side.id = hex(oid);
  side.content = std::move(content);
  return side;
}

struct Printed {
  std::string text;
  std::size_t limit;
  bool cut = false;
};

int printLine(const git_diff_delta*, const git_diff_hunk*, const git_diff_line* line,
              void* payload) {
  auto* printed = static_cast<Printed*>(payload);
  if (printed->text.size() >= printed->limit) {
    printed->cut = true;
    return 1;  // libgit2 stops printing
  }
  if (line->origin == GIT_DIFF_LINE_CONTEXT || line->origin == GIT_DIFF_LINE_ADDITION ||
      line->origin == GIT_DIFF_LINE_DELETION) {
    printed->text += line->origin;
  }
  printed->text.append(line->content, line->content_len);
  return 0;
}

}  // namespace

Result<Comparison> History::compare(const std::string& relative, const std::string& older,
                                    const std::optional<std::string>& newer) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  if (parts->empty()) {
    return Status::failure(Status::Kind::invalid, _("the root is a folder"), EISDIR);
  }
  const std::string stored = storedPath(*parts, naming_);
  auto before = storedSide(repository_, older, stored, kCompareTextBytes);
  if (!before.ok()) return before.status();
  auto after = newer ? storedSide(repository_, *newer, stored, kCompareTextBytes)
                     : currentSide(access_, root_, *parts, kCompareTextBytes);
  if (!after.ok()) return after.status();
  if (after->present && after->id.empty()) {
    // Too large to read here: its id as a snapshot would record it.
    auto id = currentObject(relative);
    if (!id.ok()) return id.status();
    after->id = *id;
  }
  Comparison comparison;
  if (before->present) comparison.olderSize = before->size;
  if (after->present) comparison.newerSize = after->size;
  comparison.differs = before->present != after->present || before->id != after->id;
  const bool readBoth =
      (!before->present || before->content) && (!after->present || after->content);
  if (!comparison.differs || !readBoth) return comparison;

  const std::string name = parts->back();
  const std::string& a = before->content ? *before->content : std::string();
  const std::string& b = after->content ? *after->content : std::string();
  git_patch* raw = nullptr;
  if (git_patch_from_buffers(&raw, a.data(), a.size(), name.c_str(), b.data(), b.size(),
                             name.c_str(), nullptr) != 0) {
    return gitFailure(formatted(_("cannot compare %s"), shownPath(relative).c_str()));
  }
  std::unique_ptr<git_patch, Freer<git_patch, git_patch_free>> patch(raw);
  if ((git_patch_get_delta(patch.get())->flags & GIT_DIFF_FLAG_BINARY) != 0) return comparison;
  Printed printed{{}, kDiffBytes};
  const int result = git_patch_print(patch.get(), printLine, &printed);
  if (result != 0 && !printed.cut) {
    return gitFailure(formatted(_("cannot compare %s"), shownPath(relative).c_str()));
  }
  comparison.text = true;
  comparison.diff = std::move(printed.text);
  comparison.cut = printed.cut;
  return comparison;
}

}  // namespace tarvine::history
