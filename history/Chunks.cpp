#include "history/Chunks.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "history/Text.h"

namespace tarvine::history {
namespace {

// The gear table: 256 fixed pseudo-random words (splitmix64 from a fixed
// seed). It must never change: chunks are shared between versions only when
// they are cut in the same places.
constexpr std::array<std::uint64_t, 256> kGear = [] {
  std::array<std::uint64_t, 256> table{};
  std::uint64_t state = 0x74617276696e65;  // "tarvine"
  for (std::uint64_t& word : table) {
    state += 0x9e3779b97f4a7c15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    word = z ^ (z >> 31);
  }
  return table;
}();

// The hash shifts left once a byte, so its top bits depend on the last 64
// bytes: the masks test top bits. Before the average size a cut needs two
// more zero bits than the average asks for, after it two fewer (FastCDC's
// normalised chunking), which keeps most chunks near the average.
constexpr int kAverageBits = 15;  // log2 of kAverageChunkBytes
constexpr std::uint64_t kHarderMask = ~std::uint64_t{0} << (64 - (kAverageBits + 2));
constexpr std::uint64_t kEasierMask = ~std::uint64_t{0} << (64 - (kAverageBits - 2));
constexpr std::size_t kWindowBytes = 64;
static_assert(std::size_t{1} << kAverageBits == kAverageChunkBytes);

// Each chunk's name has at least this many digits (a million chunks, a
// 64 GB file), more where a file has more chunks.
constexpr int kChunkNameDigits = 6;

std::string lastError() {
  const git_error* error = git_error_last();
  return error != nullptr ? error->message : _("unknown error");
}

Status changedWhileRead() {
  return Status::failure(Status::Kind::failed, _("changed while it was read"), EAGAIN);
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameVersion(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         sameTime(a.st_mtim, b.st_mtim) && sameTime(a.st_ctim, b.st_ctim);
}

std::optional<std::uint64_t> markedSize(std::string_view name) {
  if (!name.starts_with(kChunkMarkerPrefix)) return std::nullopt;
  name.remove_prefix(kChunkMarkerPrefix.size());
  std::uint64_t size = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), size);
  if (error != std::errc() || end != name.data() + name.size() || name.empty()) return std::nullopt;
  return size;
}

// A tree's bytes as git writes them: "MODE NAME\0" and the raw id, in name order.
void appendEntry(std::string& tree, std::string_view mode, std::string_view name,
                 const git_oid& oid) {
  tree.append(mode);
  tree += ' ';
  tree.append(name);
  tree += '\0';
  tree.append(reinterpret_cast<const char*>(oid.id), GIT_OID_RAWSZ);
}

}  // namespace

std::size_t chunkEnd(const unsigned char* data, std::size_t size) {
  if (size <= kMinChunkBytes) return size;
  const std::size_t end = std::min(size, kMaxChunkBytes);
  const std::size_t normal = std::min(end, kAverageChunkBytes);
  std::uint64_t hash = 0;
  // The window before the smallest cut is hashed first, so that every cut
  // is decided by 64 bytes of content.
  for (std::size_t i = kMinChunkBytes - kWindowBytes; i < kMinChunkBytes; ++i) {
    hash = (hash << 1) + kGear[data[i]];
  }
  std::size_t i = kMinChunkBytes;
  for (; i < normal; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & kHarderMask) == 0) return i + 1;
  }
  for (; i < end; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & kEasierMask) == 0) return i + 1;
  }
  return end;
}

std::optional<StoredFile> chunkedFile(git_repository* repository, const git_oid& tree) {
  git_tree* raw = nullptr;
  if (git_tree_lookup(&raw, repository, &tree) != 0) return std::nullopt;
  Tree owner(raw);
  if (git_tree_entrycount(raw) < 2) return std::nullopt;
  const git_tree_entry* marker = git_tree_entry_byindex(raw, 0);
  const git_tree_entry* first = git_tree_entry_byindex(raw, 1);
  if (git_tree_entry_filemode(marker) != GIT_FILEMODE_COMMIT) return std::nullopt;
  const auto size = markedSize(git_tree_entry_name(marker));
  if (!size || git_tree_entry_type(first) != GIT_OBJECT_BLOB) return std::nullopt;
  StoredFile file;
  file.stored = tree;
  file.content = *git_tree_entry_id(marker);
  file.size = *size;
  file.mode = git_tree_entry_filemode(first) == GIT_FILEMODE_BLOB_EXECUTABLE
                  ? GIT_FILEMODE_BLOB_EXECUTABLE
                  : GIT_FILEMODE_BLOB;
  file.chunked = true;
  return file;
}

Resolved resolved(git_repository* repository, const Entry& entry) {
  if (!entry.oid || entry.mode != GIT_FILEMODE_TREE) return {entry, std::nullopt};
  auto file = chunkedFile(repository, *entry.oid);
  if (!file) return {entry, std::nullopt};
  return {Entry{file->content, file->mode}, file};
}

Result<git_oid> storeInChunks(FolderAccess& access, git_odb* odb, int fd, const struct stat& info,
                              bool& historyFailed) {
  const auto cannotStore = [&] {
    historyFailed = true;
    return Status::failure(Status::Kind::failed,
                           formatted(_("cannot store: %s"), lastError().c_str()));
  };
  const auto size = static_cast<std::uint64_t>(info.st_size);
  auto hashing = hashingOdb();
  if (!hashing.ok()) return hashing.status();
  git_odb_stream* raw = nullptr;
  if (git_odb_open_wstream(&raw, hashing->get(), size, GIT_OBJECT_BLOB) != 0) {
    return gitFailure(_("cannot hash"));
  }
  OdbStream whole(raw);  // the content's id as one blob, for the marker
  std::vector<unsigned char> buffer(kStreamPieceBytes + kMaxChunkBytes);
  std::size_t held = 0;  // read, not yet cut into chunks
  std::vector<git_oid> chunks;
  // Cuts what is held into chunks and stores them; the last piece of the
  // file only at its end, as more content could move its cut.
  const auto cut = [&](bool atEnd) -> std::optional<Status> {
    std::size_t at = 0;
    while (held - at >= kMaxChunkBytes || (atEnd && at < held)) {
      const std::size_t length = chunkEnd(buffer.data() + at, held - at);
      git_oid oid;
      if (git_odb_write(&oid, odb, buffer.data() + at, length, GIT_OBJECT_BLOB) != 0) {
        return cannotStore();
      }
      chunks.push_back(oid);
      at += length;
    }
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
    return std::nullopt;
  };
  for (std::uint64_t left = size; left > 0;) {
    const ssize_t got =
        access.read(fd, buffer.data() + held, std::min<std::uint64_t>(left, buffer.size() - held));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return systemFailure(_("cannot read"));
    if (got == 0) return changedWhileRead();  // shorter than it was
    if (git_odb_stream_write(raw, reinterpret_cast<const char*>(buffer.data() + held),
                             static_cast<size_t>(got)) != 0) {
      return gitFailure(_("cannot hash"));
    }
    held += static_cast<std::size_t>(got);
    left -= static_cast<std::uint64_t>(got);
    if (auto failed = cut(false)) return *failed;
  }
  if (auto failed = cut(true)) return *failed;
  // Whatever was written to it while it was read shows in its size or times.
  struct stat after {};
  if (access.statOpen(fd, after) != 0) return systemFailure(_("cannot read"));
  if (!sameVersion(info, after)) return changedWhileRead();
  git_oid content;
  if (git_odb_stream_finalize_write(&content, raw) != 0) return gitFailure(_("cannot hash"));

  std::string tree;
  tree.reserve((chunks.size() + 1) * (GIT_OID_RAWSZ + 16));
  appendEntry(tree, "160000", std::string(kChunkMarkerPrefix) + std::to_string(size), content);
  const std::string_view mode = (info.st_mode & 0111) != 0 ? "100755" : "100644";
  const int digits =
      std::max<int>(kChunkNameDigits, static_cast<int>(std::to_string(chunks.size() - 1).size()));
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    std::string name = std::to_string(i);
    name.insert(0, static_cast<std::size_t>(digits) - name.size(), '0');
    appendEntry(tree, mode, name, chunks[i]);
  }
  git_oid oid;
  if (git_odb_write(&oid, odb, tree.data(), tree.size(), GIT_OBJECT_TREE) != 0) {
    return cannotStore();
  }
  return oid;
}

git_filemode_t fileEntryMode(git_odb* odb, const struct stat& info, const Result<git_oid>& oid,
                             std::uint64_t chunkedBytes) {
  const git_filemode_t file =
      (info.st_mode & 0111) != 0 ? GIT_FILEMODE_BLOB_EXECUTABLE : GIT_FILEMODE_BLOB;
  if (!oid.ok() || static_cast<std::uint64_t>(info.st_size) <
                       std::min(chunkedBytes, History::kChunkedFileBytes)) {
    return file;
  }
  size_t size = 0;
  git_object_t type;
  if (git_odb_read_header(&size, &type, odb, &*oid) != 0) return file;
  return type == GIT_OBJECT_TREE ? GIT_FILEMODE_TREE : file;
}

bool holdsContent(git_repository* repository, const git_oid& stored, const git_oid& content) {
  if (git_oid_equal(&stored, &content)) return true;
  // Only a tree is read: a blob that differs may be large.
  auto odb = odbOf(repository);
  size_t size = 0;
  git_object_t type;
  if (!odb.ok() || git_odb_read_header(&size, &type, odb->get(), &stored) != 0 ||
      type != GIT_OBJECT_TREE) {
    return false;
  }
  const auto file = chunkedFile(repository, stored);
  return file && git_oid_equal(&file->content, &content);
}

}  // namespace tarvine::history
