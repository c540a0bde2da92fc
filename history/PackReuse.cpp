// A pack written from the history's own packs (see PackReuse.h).
#include "history/PackReuse.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "foundation/Formatted.h"
#include "history/GitObjects.h"
#include "history/Text.h"

namespace tarvine::history {
namespace {

constexpr int kOfsDelta = 6;
constexpr int kRefDelta = 7;
constexpr std::size_t kIdSize = GIT_OID_RAWSZ;
constexpr std::size_t kTrailer = kIdSize;  // a pack ends with the checksum of all before it

std::uint32_t bigEndian32(const unsigned char* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
         std::uint32_t{at[3]};
}

// One object of a pack, as its index lists it.
struct Indexed {
  git_oid oid;
  std::uint64_t offset;
  std::uint32_t crc;
};

// A pack mapped whole, with its index's entries in the order they lie in it.
struct PackFile {
  void* map = MAP_FAILED;
  std::size_t size = 0;
  std::vector<Indexed> entries;

  PackFile() = default;
  PackFile(const PackFile&) = delete;
  PackFile& operator=(const PackFile&) = delete;
  ~PackFile() {
    if (map != MAP_FAILED) munmap(map, size);
  }
  const unsigned char* bytes() const { return static_cast<const unsigned char*>(map); }
  // Where entry `i` ends: where the next begins, or the checksum.
  std::uint64_t end(std::size_t i) const {
    return i + 1 < entries.size() ? entries[i + 1].offset : size - kTrailer;
  }
};

// Reads an index of git's version 2 and maps its pack; false when either is
// not as it should be (a pack being written, or damaged).
bool load(const std::string& indexPath, const std::string& packPath, PackFile& pack) {
  std::error_code error;
  const auto indexSize = std::filesystem::file_size(indexPath, error);
  if (error || indexSize < 8 + 256 * 4 + 2 * kIdSize) return false;
  std::vector<unsigned char> index(indexSize);
  const int in = ::open(indexPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const ssize_t got = ::pread(in, index.data(), index.size(), 0);
  ::close(in);
  if (got != static_cast<ssize_t>(index.size())) return false;
  const unsigned char* at = index.data();
  if (bigEndian32(at) != 0xff744f63 || bigEndian32(at + 4) != 2) return false;
  const std::size_t count = bigEndian32(at + 8 + 255 * 4);
  const unsigned char* ids = at + 8 + 256 * 4;
  const unsigned char* crcs = ids + count * kIdSize;
  const unsigned char* offsets = crcs + count * 4;
  const unsigned char* large = offsets + count * 4;
  if (static_cast<std::size_t>(large - at) + 2 * kIdSize > index.size()) return false;
  const std::size_t largeCount = (index.size() - 2 * kIdSize - (large - at)) / 8;

  const int fd = ::open(packPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(12 + kTrailer)) {
    ::close(fd);
    return false;
  }
  pack.size = static_cast<std::size_t>(st.st_size);
  pack.map = ::mmap(nullptr, pack.size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (pack.map == MAP_FAILED) return false;
  const unsigned char* header = pack.bytes();
  if (std::memcmp(header, "PACK", 4) != 0 || bigEndian32(header + 8) != count) return false;

  pack.entries.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    Indexed& entry = pack.entries[i];
    std::memcpy(entry.oid.id, ids + i * kIdSize, kIdSize);
    entry.crc = bigEndian32(crcs + i * 4);
    const std::uint32_t offset = bigEndian32(offsets + i * 4);
    if ((offset & 0x80000000u) != 0) {  // in the table of offsets past 2 GiB
      const std::size_t slot = offset & 0x7fffffffu;
      if (slot >= largeCount) return false;
      entry.offset =
          (std::uint64_t{bigEndian32(large + slot * 8)} << 32) | bigEndian32(large + slot * 8 + 4);
    } else {
      entry.offset = offset;
    }
    if (entry.offset < 12 || entry.offset >= pack.size - kTrailer) return false;
  }
  std::sort(pack.entries.begin(), pack.entries.end(),
            [](const Indexed& a, const Indexed& b) { return a.offset < b.offset; });
  return true;
}

// An entry's header: its type, the size of its object (or delta), and how
// many bytes the header takes; nullopt when it runs past `end`.
struct Header {
  int type;
  std::uint64_t size;
  std::size_t length;
};
std::optional<Header> headerAt(const unsigned char* at, const unsigned char* end) {
  if (at >= end) return std::nullopt;
  Header header{(*at >> 4) & 7, std::uint64_t{*at} & 15, 1};
  unsigned shift = 4;
  while ((at[header.length - 1] & 0x80) != 0) {
    if (at + header.length >= end || shift > 57) return std::nullopt;
    header.size |= std::uint64_t{at[header.length] & 0x7fu} << shift;
    shift += 7;
    ++header.length;
  }
  return header;
}

std::string headerBytes(int type, std::uint64_t size) {
  std::string out;
  auto byte = static_cast<unsigned char>((type << 4) | (size & 15));
  size >>= 4;
  while (size != 0) {
    out.push_back(static_cast<char>(byte | 0x80));
    byte = static_cast<unsigned char>(size & 0x7f);
    size >>= 7;
  }
  out.push_back(static_cast<char>(byte));
  return out;
}

// The pack's bytes to the sink, in pieces of a useful size, and its checksum.
class Output {
 public:
  explicit Output(const ReusedPack::Sink& sink) : sink_(sink), hash_(EVP_MD_CTX_new()) {
    EVP_DigestInit_ex(hash_, EVP_sha1(), nullptr);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() { EVP_MD_CTX_free(hash_); }

  Status put(std::string_view bytes) {
    EVP_DigestUpdate(hash_, bytes.data(), bytes.size());
    if (buffer_.size() + bytes.size() <= kPiece) {
      buffer_.append(bytes);
      return Status();
    }
    if (Status flushed = flush(); !flushed.ok()) return flushed;
    if (bytes.size() < kPiece) {
      buffer_.append(bytes);
      return Status();
    }
    return sink_(bytes);
  }
  Status finish() {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    EVP_DigestFinal_ex(hash_, digest.data(), &length);
    buffer_.append(reinterpret_cast<const char*>(digest.data()), length);
    return flush();
  }

 private:
  static constexpr std::size_t kPiece = 1 << 16;
  Status flush() {
    if (buffer_.empty()) return Status();
    Status sent = sink_(buffer_);
    buffer_.clear();
    return sent;
  }
  const ReusedPack::Sink& sink_;
  EVP_MD_CTX* hash_;
  std::string buffer_;
};

// An object read through libgit2 (which checks it against its id) and
// compressed whole.
Status writeWhole(git_odb* odb, const git_oid& id, Output& out) {
  git_odb_object* raw = nullptr;
  if (git_odb_read(&raw, odb, &id) != 0) {
    return gitFailure(formatted(_("cannot read the stored object %s"), hex(id).c_str()),
                      Status::Kind::damaged);
  }
  std::unique_ptr<git_odb_object, void (*)(git_odb_object*)> object(raw, git_odb_object_free);
  const auto size = git_odb_object_size(raw);
  if (Status put = out.put(headerBytes(git_odb_object_type(raw), size)); !put.ok()) return put;
  z_stream zs{};
  if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) {
    return Status::failure(Status::Kind::failed, _("cannot compress an object"));
  }
  // In pieces zlib's counters hold, and out in pieces of a useful size.
  auto* next = static_cast<Bytef*>(const_cast<void*>(git_odb_object_data(raw)));
  std::size_t left = size;
  std::string piece(1 << 16, '\0');
  int state = Z_OK;
  int flush = Z_NO_FLUSH;
  while (flush != Z_FINISH && state != Z_STREAM_ERROR) {
    const auto chunk = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
    zs.next_in = next;
    zs.avail_in = chunk;
    next += chunk;
    left -= chunk;
    flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(piece.data());
      zs.avail_out = static_cast<uInt>(piece.size());
      state = deflate(&zs, flush);
      if (state == Z_STREAM_ERROR) break;
      const std::size_t made = piece.size() - zs.avail_out;
      if (Status put = out.put(std::string_view(piece.data(), made)); !put.ok()) {
        deflateEnd(&zs);
        return put;
      }
    } while (zs.avail_out == 0);
  }
  deflateEnd(&zs);
  if (state != Z_STREAM_END) {
    return Status::failure(Status::Kind::failed, _("cannot compress an object"));
  }
  return Status();
}

}  // namespace

struct ReusedPack::Plan {
  std::vector<std::unique_ptr<PackFile>> packs;
  // The objects to send: those found in a pack, as (pack, entry), in the
  // order they lie there; then the rest.
  std::vector<std::pair<std::size_t, std::size_t>> packed;
  std::vector<git_oid> loose;
  std::unordered_set<git_oid, OidHash, OidEqual> all;

  // The id of the entry of `pack` at `offset`, if one begins there.
  const git_oid* idAt(const PackFile& pack, std::uint64_t offset) const {
    const auto found =
        std::lower_bound(pack.entries.begin(), pack.entries.end(), offset,
                         [](const Indexed& entry, std::uint64_t at) { return entry.offset < at; });
    return found != pack.entries.end() && found->offset == offset ? &found->oid : nullptr;
  }

  // Writes entry `i` of `pack` as it is stored there, when it can be sent so:
  // intact, and a whole object or a delta against one this pack sends. A
  // delta given by where its base lies is given by its base's id instead, as
  // every receiver takes it and its place in this pack is another.
  std::optional<Status> reuse(const PackFile& pack, std::size_t i, Output& out) const {
    const Indexed& entry = pack.entries[i];
    const unsigned char* begin = pack.bytes() + entry.offset;
    const unsigned char* end = pack.bytes() + pack.end(i);
    const auto stored = static_cast<std::size_t>(end - begin);
    if (crc32_z(0, begin, stored) != entry.crc) return std::nullopt;
    const auto header = headerAt(begin, end);
    if (!header) return std::nullopt;
    const std::string_view raw(reinterpret_cast<const char*>(begin), stored);
    if (header->type >= GIT_OBJECT_COMMIT && header->type <= GIT_OBJECT_TAG) return out.put(raw);
    if (header->type == kRefDelta) {
      if (stored < header->length + kIdSize) return std::nullopt;
      git_oid base;
      std::memcpy(base.id, begin + header->length, kIdSize);
      if (!all.contains(base)) return std::nullopt;
      return out.put(raw);
    }
    if (header->type != kOfsDelta) return std::nullopt;
    const unsigned char* at = begin + header->length;
    std::uint64_t back = *at & 0x7fu;
    while ((*at & 0x80) != 0) {
      if (++at >= end || back >= (std::uint64_t{1} << 56)) return std::nullopt;
      back = ((back + 1) << 7) | (*at & 0x7fu);
    }
    ++at;
    if (back == 0 || back > entry.offset) return std::nullopt;
    const git_oid* base = idAt(pack, entry.offset - back);
    if (base == nullptr || !all.contains(*base)) return std::nullopt;
    std::string head = headerBytes(kRefDelta, header->size);
    head.append(reinterpret_cast<const char*>(base->id), kIdSize);
    if (Status put = out.put(head); !put.ok()) return put;
    return out.put(std::string_view(reinterpret_cast<const char*>(at), end - at));
  }
};

ReusedPack::ReusedPack(std::unique_ptr<Plan> plan) : plan_(std::move(plan)) {}
ReusedPack::ReusedPack(ReusedPack&&) noexcept = default;
ReusedPack& ReusedPack::operator=(ReusedPack&&) noexcept = default;
ReusedPack::~ReusedPack() = default;

std::size_t ReusedPack::objects() const { return plan_->all.size(); }
std::size_t ReusedPack::loose() const { return plan_->loose.size(); }

Result<ReusedPack> ReusedPack::plan(git_repository* repository, const std::vector<git_oid>& roots) {
  auto plan = std::make_unique<Plan>();
  // Everything the roots reach: trees are read, files only named.
  std::vector<git_oid> order;
  std::vector<git_oid> pending(roots.begin(), roots.end());
  while (!pending.empty()) {
    const git_oid id = pending.back();
    pending.pop_back();
    if (!plan->all.insert(id).second) continue;
    order.push_back(id);
    git_object* raw = nullptr;
    if (git_object_lookup(&raw, repository, &id, GIT_OBJECT_ANY) != 0) {
      return gitFailure(formatted(_("cannot read the stored object %s"), hex(id).c_str()),
                        Status::Kind::damaged);
    }
    std::unique_ptr<git_object, void (*)(git_object*)> object(raw, git_object_free);
    switch (git_object_type(raw)) {
      case GIT_OBJECT_COMMIT: {
        const auto* commit = reinterpret_cast<const git_commit*>(raw);
        pending.push_back(*git_commit_tree_id(commit));
        for (unsigned i = 0, n = git_commit_parentcount(commit); i < n; ++i) {
          pending.push_back(*git_commit_parent_id(commit, i));
        }
        break;
      }
      case GIT_OBJECT_TREE: {
        const auto* tree = reinterpret_cast<const git_tree*>(raw);
        for (std::size_t i = 0, n = git_tree_entrycount(tree); i < n; ++i) {
          const git_tree_entry* entry = git_tree_entry_byindex(tree, i);
          const git_oid* child = git_tree_entry_id(entry);
          if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
            pending.push_back(*child);
          } else if (git_tree_entry_type(entry) == GIT_OBJECT_BLOB &&
                     plan->all.insert(*child).second) {
            order.push_back(*child);
          }
        }
        break;
      }
      case GIT_OBJECT_TAG:
        pending.push_back(*git_tag_target_id(reinterpret_cast<const git_tag*>(raw)));
        break;
      default:
        break;
    }
  }

  const std::string folder = std::string(git_repository_path(repository)) + "objects/pack";
  std::error_code error;
  for (const auto& file : std::filesystem::directory_iterator(folder, error)) {
    if (file.path().extension() != ".idx") continue;
    auto pack = std::make_unique<PackFile>();
    std::filesystem::path packPath = file.path();
    packPath.replace_extension(".pack");
    if (load(file.path(), packPath, *pack)) plan->packs.push_back(std::move(pack));
  }
  // Where each object lies; one in two packs is taken from the first.
  std::unordered_map<git_oid, std::pair<std::size_t, std::size_t>, OidHash, OidEqual> where;
  where.reserve(plan->all.size());
  for (std::size_t p = 0; p < plan->packs.size(); ++p) {
    const auto& entries = plan->packs[p]->entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (plan->all.contains(entries[i].oid)) where.try_emplace(entries[i].oid, p, i);
    }
  }
  for (const git_oid& id : order) {
    const auto found = where.find(id);
    if (found == where.end()) {
      plan->loose.push_back(id);
    } else {
      plan->packed.push_back(found->second);
    }
  }
  std::sort(plan->packed.begin(), plan->packed.end());
  return ReusedPack(std::move(plan));
}

Status ReusedPack::write(git_repository* repository, const Sink& sink,
                         const Progress& progress) const {
  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  Output out(sink);
  const std::size_t count = plan_->all.size();
  if (count > 0xffffffffu) return Status::failure(Status::Kind::invalid, _("too many objects"));
  unsigned char header[12] = {'P', 'A', 'C', 'K', 0, 0, 0, 2};
  for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<unsigned char>(count >> (24 - 8 * i));
  if (Status put = out.put(std::string_view(reinterpret_cast<const char*>(header), 12));
      !put.ok()) {
    return put;
  }
  std::size_t written = 0;
  const auto told = [&] { return !progress || progress(++written, count); };
  for (const auto& [p, i] : plan_->packed) {
    const PackFile& pack = *plan_->packs[p];
    std::optional<Status> reused = plan_->reuse(pack, i, out);
    Status put = reused ? *reused : writeWhole(odb->get(), pack.entries[i].oid, out);
    if (!put.ok()) return put;
    if (!told()) return Status::failure(Status::Kind::failed, _("stopped"));
  }
  for (const git_oid& id : plan_->loose) {
    if (Status put = writeWhole(odb->get(), id, out); !put.ok()) return put;
    if (!told()) return Status::failure(Status::Kind::failed, _("stopped"));
  }
  return out.finish();
}

}  // namespace tarvine::history
