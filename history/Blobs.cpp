#include "history/Blobs.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "history/GitObjects.h"
#include "history/Loose.h"
#include "history/Text.h"

namespace tarvine::history {
namespace {

// The unit in which zeros become holes: file systems allocate in blocks of
// this size or a multiple of it.
constexpr std::size_t kHoleBytes = 4096;

// Where a blob's content goes, piece by piece.
class Pieces {
 public:
  virtual ~Pieces() = default;
  virtual Status put(const char* bytes, std::size_t size) = 0;
};

// A file. With holes kept, each whole block of zeros at a block-aligned
// offset is skipped by seeking past it, and the length is set at the end, so
// that nothing is allocated for it.
class Sink : public Pieces {
 public:
  Sink(FolderAccess& access, int fd, Holes holes) : access_(access), fd_(fd), holes_(holes) {}

  Status put(const char* bytes, std::size_t size) override {
    if (holes_ == Holes::written) return writeAll(access_, fd_, bytes, size);
    if (!partial_.empty()) {  // a block begun by the previous piece
      const std::size_t taken = std::min(size, kHoleBytes - partial_.size());
      partial_.append(bytes, taken);
      bytes += taken;
      size -= taken;
      if (partial_.size() < kHoleBytes) return Status();
      if (Status done = blocks(partial_.data(), kHoleBytes); !done.ok()) return done;
      partial_.clear();
    }
    const std::size_t whole = size - size % kHoleBytes;
    if (Status done = blocks(bytes, whole); !done.ok()) return done;
    partial_.assign(bytes + whole, size - whole);
    return Status();
  }

  Status finish() {
    if (holes_ == Holes::written) return Status();
    if (Status done = data(partial_.data(), partial_.size()); !done.ok()) return done;
    if (position_ != length_ && access_.truncate(fd_, static_cast<off_t>(length_)) != 0) {
      return systemFailure(_("cannot write"));
    }
    return Status();
  }

 private:
  // Whole blocks: each run of data written at once, blocks of zeros skipped.
  Status blocks(const char* bytes, std::size_t size) {
    static const char zeros[kHoleBytes] = {};
    std::size_t run = 0;
    for (std::size_t at = 0; at < size; at += kHoleBytes) {
      if (std::memcmp(bytes + at, zeros, kHoleBytes) != 0) continue;
      if (Status done = data(bytes + run, at - run); !done.ok()) return done;
      length_ += kHoleBytes;
      run = at + kHoleBytes;
    }
    return data(bytes + run, size - run);
  }

  Status data(const char* bytes, std::size_t size) {
    if (size == 0) return Status();
    if (position_ != length_ && access_.seek(fd_, static_cast<off_t>(length_), SEEK_SET) < 0) {
      return systemFailure(_("cannot write"));
    }
    if (Status done = writeAll(access_, fd_, bytes, size); !done.ok()) return done;
    position_ = length_ += size;
    return Status();
  }

  FolderAccess& access_;
  int fd_;
  Holes holes_;
  std::string partial_;
  std::uint64_t length_ = 0;    // the content so far, holes included
  std::uint64_t position_ = 0;  // where the file's offset is
};

// A loose object's content to `sink`, inflated piece by piece with the
// engine's own inflater (Loose.h). Absent when the object is not loose
// (packed), so that libgit2 reads it.
std::optional<Status> copyLooseBlob(git_repository* repository, const git_oid& oid, Pieces& sink) {
  const std::string id = hex(oid);
  const std::string path = std::string(git_repository_path(repository)) + "objects/" +
                           id.substr(0, 2) + "/" + id.substr(2);
  bool blob = true;
  Status put;
  const auto problem = inflateLoose(
      path,
      [&](git_object_t type, std::uint64_t) {
        blob = type == GIT_OBJECT_BLOB;
        return blob;
      },
      [&](const char* bytes, std::size_t size) {
        put = sink.put(bytes, size);
        return put.ok();
      });
  if (!problem) return std::nullopt;
  if (problem->empty()) return Status();
  if (!blob) {
    return Status::failure(Status::Kind::invalid, formatted(_("not a file: %s"), id.c_str()),
                           EINVAL);
  }
  if (!put.ok()) return put;
  return Status::failure(Status::Kind::damaged,
                         formatted(_("damaged object %s: %s"), id.c_str(), problem->c_str()), EIO);
}

}  // namespace

Status writeAll(FolderAccess& access, int fd, const char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t wrote = access.write(fd, bytes + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return systemFailure(_("cannot write"));
    done += static_cast<std::size_t>(wrote);
  }
  return Status();
}

namespace {

// A blob's content to `sink`, not yet finished.
Status copyTo(git_repository* repository, const git_oid& oid, Pieces& sink) {
  if (auto copied = copyLooseBlob(repository, oid, sink)) return *copied;
  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  git_odb_stream* stream = nullptr;
  size_t length = 0;
  git_object_t type;
  if (git_odb_open_rstream(&stream, &length, &type, odb->get(), &oid) == 0) {
    OdbStream owner(stream);
    std::vector<char> buffer(kStreamPieceBytes);
    for (;;) {
      const int got = git_odb_stream_read(stream, buffer.data(), buffer.size());
      if (got < 0) return gitFailure(_("cannot read"), Status::Kind::damaged);
      if (got == 0) return Status();
      if (Status wrote = sink.put(buffer.data(), static_cast<std::size_t>(got)); !wrote.ok()) {
        return wrote;
      }
    }
  }
  git_blob* raw = nullptr;
  if (git_blob_lookup(&raw, repository, &oid) != 0) {
    return gitFailure(_("cannot read"), Status::Kind::damaged);
  }
  Blob blob(raw);
  return sink.put(static_cast<const char*>(git_blob_rawcontent(raw)),
                  static_cast<std::size_t>(git_blob_rawsize(raw)));
}

// A chunked file's content to `sink`: its chunks in the order of their
// names, the marker left out.
Status copyChunks(git_repository* repository, const git_oid& tree, Pieces& sink) {
  git_tree* raw = nullptr;
  if (git_tree_lookup(&raw, repository, &tree) != 0) {
    return gitFailure(_("cannot read"), Status::Kind::damaged);
  }
  Tree owner(raw);
  for (std::size_t i = 0, count = git_tree_entrycount(raw); i < count; ++i) {
    const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
    if (git_tree_entry_filemode(entry) == GIT_FILEMODE_COMMIT) continue;
    if (git_tree_entry_type(entry) != GIT_OBJECT_BLOB) {
      return Status::failure(
          Status::Kind::damaged,
          formatted(_("not a chunk: %s"), hex(*git_tree_entry_id(entry)).c_str()), EIO);
    }
    if (Status copied = copyTo(repository, *git_tree_entry_id(entry), sink); !copied.ok()) {
      return copied;
    }
  }
  return Status();
}

// Pieces hashed as one blob of the size announced.
class Hasher : public Pieces {
 public:
  explicit Hasher(git_odb_stream* stream) : stream_(stream) {}
  Status put(const char* bytes, std::size_t size) override {
    written_ += size;
    if (git_odb_stream_write(stream_, bytes, size) != 0) return gitFailure(_("cannot hash"));
    return Status();
  }
  std::uint64_t written() const { return written_; }

 private:
  git_odb_stream* stream_;
  std::uint64_t written_ = 0;
};

// The id of the content `fill` puts into a Hasher, as one blob of `size`
// bytes, stored nowhere.
Result<git_oid> hashed(std::uint64_t size, const std::function<Status(Hasher&)>& fill) {
  auto odb = hashingOdb();
  if (!odb.ok()) return odb.status();
  git_odb_stream* stream = nullptr;
  if (git_odb_open_wstream(&stream, odb->get(), size, GIT_OBJECT_BLOB) != 0) {
    return gitFailure(_("cannot hash"));
  }
  OdbStream owner(stream);
  Hasher hasher(stream);
  if (Status filled = fill(hasher); !filled.ok()) return filled;
  git_oid oid;
  if (git_odb_stream_finalize_write(&oid, stream) != 0) return gitFailure(_("cannot hash"));
  return oid;
}

}  // namespace

Status copyFile(FolderAccess& access, git_repository* repository, const git_oid& stored,
                bool chunked, int fd, Holes holes) {
  if (!chunked) return copyBlob(access, repository, stored, fd, holes);
  Sink sink(access, fd, holes);
  if (Status copied = copyChunks(repository, stored, sink); !copied.ok()) return copied;
  return sink.finish();
}

Result<git_oid> hashChunks(git_repository* repository, const git_oid& tree, std::uint64_t size) {
  return hashed(size, [&](Hasher& hasher) {
    if (Status copied = copyChunks(repository, tree, hasher); !copied.ok()) return copied;
    if (hasher.written() != size) {
      return Status::failure(Status::Kind::damaged, _("its chunks do not add up to its size"), EIO);
    }
    return Status();
  });
}

Status copyBlob(FolderAccess& access, git_repository* repository, const git_oid& oid, int fd,
                Holes holes) {
  Sink sink(access, fd, holes);
  if (Status copied = copyTo(repository, oid, sink); !copied.ok()) return copied;
  return sink.finish();
}

Result<git_oid> hashFile(FolderAccess& access, int fd, std::uint64_t size) {
  return hashed(size, [&](Hasher& hasher) {
    std::vector<char> buffer(kStreamPieceBytes);
    for (std::uint64_t left = size; left > 0;) {
      const ssize_t got =
          access.read(fd, buffer.data(), std::min<std::uint64_t>(left, buffer.size()));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return systemFailure(_("cannot read"));
      if (got == 0) return Status::error(_("changed while it was read"), EAGAIN);
      if (Status wrote = hasher.put(buffer.data(), static_cast<std::size_t>(got)); !wrote.ok()) {
        return wrote;
      }
      left -= static_cast<std::uint64_t>(got);
    }
    return Status();
  });
}

}  // namespace tarvine::history
