// Packing: the history's objects gathered into packs, with deltas between the
// versions of each file, as git's gc does. A pack replaces others only once it
// is proven: written and synced, and holding every object they held, or that
// object kept loose and synced. Until then nothing is removed, and any object
// that cannot be read or packed ends the packing with nothing removed.

#include <fcntl.h>
#include <git2/sys/odb_backend.h>
#include <git2/sys/repository.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <unordered_set>

#include "history/Chunks.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/Intact.h"
#include "history/MemoryConfig.h"
#include "history/PackSteps.h"
#include "history/Privacy.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

// git's gc.autoPackLimit: this many packs, and all are packed into one.
constexpr std::size_t kPacksBeforeRepacking = 50;

constexpr const char* kIndexSuffix = ".idx";
// The files git keeps beside a pack's index, removed with it.
constexpr const char* kPackSuffixes[] = {".pack", ".rev", ".bitmap", ".mtimes", ".promisor"};
// A pack git was told to keep is never replaced.
constexpr const char* kKeepSuffix = ".keep";
// An index over several packs, which names the packs replaced.
constexpr const char* kMultiPackIndex = "multi-pack-index";
// Where the logs of branches set aside as damaged are kept (Intact.cpp).
constexpr const char* kAsideLogs = "tarvine-damaged/logs";
// git's cache of the commits' graph (and its chain of them), in objects/info.
constexpr const char* kCommitGraph = "commit-graph";
// Where large objects are written before they take their place beside the
// other loose objects.
constexpr const char* kLooseningFolder = "tarvine-loosening";

constexpr std::size_t kPackPieceBytes = 1 << 16;

// Which packs hold chunks alone, one name a line, as the packing that wrote
// them knew: a hint for tidying, which counts them apart. One lost or torn
// only makes tidying less thrifty, so it is written in place, unsynced.
constexpr const char* kChunkPacksFile = "tarvine-chunk-packs";
// Tidying packs the whole history again once the packs it added since hold
// more than this share of the largest pack's blocks: their objects are no
// deltas of the older versions in it.
constexpr std::uint64_t kAddedShareBeforeRepacking = 16;  // 1/16th

using ObjectSet = std::unordered_set<std::string>;  // of raw ids
std::string key(const git_oid& oid) {
  return std::string(reinterpret_cast<const char*>(oid.id), GIT_OID_RAWSZ);
}

std::string objectsFolder(git_repository* repository) {
  return std::string(git_repository_path(repository)) + "objects";
}
std::string packFolder(git_repository* repository) { return objectsFolder(repository) + "/pack"; }
std::string fanOutFolder(git_repository* repository, const git_oid& oid) {
  return objectsFolder(repository) + "/" + hex(oid).substr(0, 2);
}
std::string loosePath(git_repository* repository, const git_oid& oid) {
  return fanOutFolder(repository, oid) + "/" + hex(oid).substr(2);
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// A failure of libgit2's while packing: an object it cannot find or read
// means a damaged history; memory or the system failing does not.
Status packFailure(const std::string& what) {
  const git_error* error = git_error_last();
  const bool damage =
      error == nullptr || (error->klass != GIT_ERROR_NOMEMORY && error->klass != GIT_ERROR_OS);
  return gitFailure(what, damage ? Status::Kind::damaged : Status::Kind::failed);
}

Status synced(PackSteps& steps, const std::string& path) {
  return steps.sync(path) == 0 ? Status()
                               : systemFailure(formatted(_("cannot sync %s"), path.c_str()));
}

// Removes `path` if it is there.
Status removed(PackSteps& steps, const std::string& path) {
  if (!exists(path) || steps.remove(path) == 0 || errno == ENOENT) return Status();
  return systemFailure(formatted(_("cannot remove %s"), path.c_str()));
}

// The history's packs, each as the path of its index without ".idx".
std::vector<std::string> packsOf(git_repository* repository) {
  std::vector<std::string> packs;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(packFolder(repository), missing)) {
    std::string path = entry.path().string();
    if (!path.ends_with(kIndexSuffix)) continue;
    path.resize(path.size() - std::strlen(kIndexSuffix));
    if (!exists(path + kKeepSuffix)) packs.push_back(std::move(path));
  }
  return packs;
}

// The space a pack's files take on disk.
std::uint64_t blocksOf(const std::string& pack) {
  std::uint64_t bytes = 0;
  for (const char* suffix : {".pack", kIndexSuffix}) {
    struct stat info {};
    if (::stat((pack + suffix).c_str(), &info) == 0) {
      bytes += static_cast<std::uint64_t>(info.st_blocks) * 512;
    }
  }
  return bytes;
}

std::string chunkPacksFile(git_repository* repository) {
  return std::string(git_repository_path(repository)) + kChunkPacksFile;
}

// The packs of chunks the hint names that are there.
std::unordered_set<std::string> chunkPacksOf(git_repository* repository) {
  std::unordered_set<std::string> packs;
  std::ifstream in(chunkPacksFile(repository));
  for (std::string name; std::getline(in, name);) {
    const std::string pack = packFolder(repository) + "/" + name;
    if (name.rfind("pack-", 0) == 0 && name.find('/') == std::string::npos &&
        exists(pack + kIndexSuffix)) {
      packs.insert(pack);
    }
  }
  return packs;
}

void recordChunkPacks(git_repository* repository, const std::unordered_set<std::string>& packs) {
  if (packs.empty() && !exists(chunkPacksFile(repository))) return;
  std::string text;
  for (const std::string& pack : packs) {
    text += std::filesystem::path(pack).filename().string() + "\n";
  }
  FileDescriptor file(::open(chunkPacksFile(repository).c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                             Privacy::fileMode));
  // A hint: a failure leaves tidying less thrifty, nothing lost.
  if (file.valid()) (void)!::write(file.get(), text.data(), text.size());
}

// One pack as an object database of its own, read through its index.
Result<Odb> packDatabase(const std::string& pack) {
  git_odb* raw = nullptr;
  if (git_odb_new(&raw) != 0) return gitFailure(formatted(_("cannot read %s"), pack.c_str()));
  Odb odb(raw);
  git_odb_backend* backend = nullptr;
  const std::string index = pack + kIndexSuffix;
  if (git_odb_backend_one_pack(&backend, index.c_str()) != 0) {
    return gitFailure(formatted(_("cannot read %s"), index.c_str()), Status::Kind::damaged);
  }
  if (git_odb_add_backend(raw, backend, 1) != 0) {
    backend->free(backend);
    return gitFailure(formatted(_("cannot read %s"), pack.c_str()));
  }
  return odb;
}

Result<std::vector<git_oid>> objectsIn(git_odb* pack, const std::string& name) {
  std::vector<git_oid> objects;
  const int listed = git_odb_foreach(
      pack,
      [](const git_oid* oid, void* payload) {
        static_cast<std::vector<git_oid>*>(payload)->push_back(*oid);
        return 0;
      },
      &objects);
  if (listed != 0) {
    return gitFailure(formatted(_("cannot read the index of %s"), name.c_str()),
                      Status::Kind::damaged);
  }
  return objects;
}

Result<PackBuilder> packBuilder(git_repository* repository) {
  git_packbuilder* raw = nullptr;
  if (git_packbuilder_new(&raw, repository) != 0) return gitFailure(_("cannot pack"));
  git_packbuilder_set_threads(raw, 0);  // as many as there are processors
  return PackBuilder(raw);
}

// The chunks of large files are packed apart, with no search for deltas:
// they are cut where their content says, so two chunks are alike only where
// they are the same chunk, and searching a window of chunks for deltas
// cost minutes of CPU for a 1 GB file. libgit2 tries no delta for an object
// larger than a size it reads from the repository's config when a pack
// builder is made; 1.5 reads that size under pack.deltaCacheSize (a slip for
// pack.bigFileThreshold, still there in 1.9), so both are given, as 1 byte,
// by a config of its own that lives only in memory.
using Repository = std::unique_ptr<git_repository, Freer<git_repository, git_repository_free>>;

// A pack builder over the history's objects that tries no deltas, with the
// repository handle it reads them through.
struct PlainPackBuilder {
  Repository repository;
  PackBuilder builder;
};

Result<PlainPackBuilder> plainPackBuilder(git_odb* odb) {
  git_repository* rawRepository = nullptr;
  if (git_repository_wrap_odb(&rawRepository, odb) != 0) return gitFailure(_("cannot pack"));
  Repository repository(rawRepository);
  git_config* rawConfig = nullptr;
  if (git_config_new(&rawConfig) != 0) return gitFailure(_("cannot pack"));
  std::unique_ptr<git_config, Freer<git_config, git_config_free>> config(rawConfig);
  if (addMemorySettings(rawConfig, {{"pack.bigfilethreshold", "1"}, {"pack.deltacachesize", "1"}},
                        nullptr) != 0) {
    return gitFailure(_("cannot pack"));
  }
  if (git_repository_set_config(rawRepository, rawConfig) != 0) return gitFailure(_("cannot pack"));
  auto builder = packBuilder(rawRepository);
  if (!builder.ok()) return builder.status();
  return PlainPackBuilder{std::move(repository), std::move(*builder)};
}

// Whether `tree` is a large file's chunks: its marker sorts first.
bool holdsChunks(const git_tree* tree) {
  const git_tree_entry* first = git_tree_entry_byindex(tree, 0);
  return first != nullptr && git_tree_entry_filemode(first) == GIT_FILEMODE_COMMIT &&
         std::string_view(git_tree_entry_name(first)).starts_with(kChunkMarkerPrefix);
}

// Writes the pack and its index, then syncs both and their folder: the pack,
// as the path of its index without ".idx".
Result<std::string> writePack(git_repository* repository, git_packbuilder* builder,
                              PackSteps& steps) {
  if (git_packbuilder_write(builder, packFolder(repository).c_str(), Privacy::objectMode, nullptr,
                            nullptr) != 0) {
    return packFailure(_("cannot write a pack"));
  }
  const std::string pack = packFolder(repository) + "/pack-" + git_packbuilder_name(builder);
  for (const std::string& path : {pack + ".pack", pack + kIndexSuffix, packFolder(repository)}) {
    if (Status done = synced(steps, path); !done.ok()) return done;
  }
  return pack;
}

// Where a pack holds an object, from its index (git's version 2); absent when
// the index is of another version.
std::optional<std::uint64_t> offsetIn(int index, const git_oid& oid) {
  constexpr unsigned char kSignature[] = {0xff, 't', 'O', 'c', 0, 0, 0, 2};
  constexpr off_t kFanOut = sizeof kSignature, kNames = kFanOut + 256 * 4;
  const auto readAt = [&](void* bytes, std::size_t size, off_t at) {
    return ::pread(index, bytes, size, at) == static_cast<ssize_t>(size);
  };
  const auto word = [&](off_t at) -> std::optional<std::uint32_t> {
    unsigned char b[4];
    if (!readAt(b, sizeof b, at)) return std::nullopt;
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
  };
  unsigned char signature[sizeof kSignature];
  if (!readAt(signature, sizeof signature, 0) ||
      std::memcmp(signature, kSignature, sizeof kSignature) != 0) {
    return std::nullopt;
  }
  // Ids are sorted; the fan-out counts those up to each first byte.
  const auto below =
      oid.id[0] == 0 ? std::optional<std::uint32_t>(0) : word(kFanOut + 4 * (oid.id[0] - 1));
  const auto upTo = word(kFanOut + 4 * oid.id[0]), count = word(kFanOut + 4 * 255);
  if (!below || !upTo || !count) return std::nullopt;
  for (std::uint32_t low = *below, high = *upTo; low < high;) {
    const std::uint32_t middle = low + (high - low) / 2;
    unsigned char name[GIT_OID_RAWSZ];
    if (!readAt(name, sizeof name, kNames + off_t{GIT_OID_RAWSZ} * middle)) return std::nullopt;
    const int order = std::memcmp(name, oid.id, GIT_OID_RAWSZ);
    if (order < 0) {
      low = middle + 1;
    } else if (order > 0) {
      high = middle;
    } else {
      // Then a checksum per object, then the offsets: a large one is the index
      // of its full value in a table after them.
      const off_t offsets = kNames + off_t{GIT_OID_RAWSZ + 4} * *count;
      const auto offset = word(offsets + off_t{4} * middle);
      if (!offset) return std::nullopt;
      if ((*offset & 0x80000000u) == 0) return *offset;
      const off_t large = offsets + off_t{4} * *count + off_t{8} * (*offset & 0x7fffffffu);
      const auto high32 = word(large), low32 = word(large + 4);
      if (!high32 || !low32) return std::nullopt;
      return std::uint64_t{*high32} << 32 | *low32;
    }
  }
  return std::nullopt;
}

// Streams the blob `oid` out of a pack into `stream`, piece by piece where the
// pack holds it whole; a delta (which git only makes of objects it could hold
// in memory) is read whole.
Status copyPacked(const std::string& pack, git_odb* database, const git_oid& oid,
                  std::uint64_t size, git_odb_stream* stream) {
  // `what` is a translated pattern: the object's id, then the pack's path.
  const auto damaged = [&](const char* what) {
    return Status::failure(Status::Kind::damaged, formatted(what, hex(oid).c_str(), pack.c_str()),
                           EIO);
  };
  FileDescriptor index(::open((pack + kIndexSuffix).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  FileDescriptor data(::open((pack + ".pack").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  const auto offset = index.valid() && data.valid() ? offsetIn(index.get(), oid) : std::nullopt;
  // Each entry starts with its type and its size: four bits of it, then seven
  // a byte while the top bit is set.
  unsigned char header[10];
  const ssize_t got =
      offset ? ::pread(data.get(), header, sizeof header, static_cast<off_t>(*offset)) : -1;
  std::size_t used = 0;
  std::uint64_t declared = 0;
  bool complete = false;
  for (unsigned shift = 0; !complete && static_cast<ssize_t>(used) < got;) {
    const unsigned char c = header[used++];
    declared |= std::uint64_t{c & (used == 1 ? 0x0fu : 0x7fu)} << shift;
    shift += used == 1 ? 4 : 7;
    complete = (c & 0x80) == 0;
  }
  const bool whole = complete && (header[0] >> 4 & 7) == GIT_OBJECT_BLOB;
  if (!whole) {
    git_odb_object* object = nullptr;
    if (git_odb_read(&object, database, &oid) != 0) {
      return gitFailure(formatted(_("cannot read %s"), hex(oid).c_str()), Status::Kind::damaged);
    }
    std::unique_ptr<git_odb_object, Freer<git_odb_object, git_odb_object_free>> owner(object);
    if (git_odb_stream_write(stream, static_cast<const char*>(git_odb_object_data(object)),
                             git_odb_object_size(object)) != 0) {
      return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
    }
    return Status();
  }
  if (declared != size) return damaged(_("a wrong size for %s in %s"));
  z_stream inflater{};
  if (inflateInit(&inflater) != Z_OK) {
    return Status::error(formatted(_("cannot inflate %s"), hex(oid).c_str()));
  }
  std::unique_ptr<z_stream, int (*)(z_stream*)> ender(&inflater, &inflateEnd);
  std::vector<unsigned char> in(kPackPieceBytes), out(kStreamPieceBytes);
  std::uint64_t at = *offset + used, written = 0;
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (inflater.avail_in == 0) {
      const ssize_t read = ::pread(data.get(), in.data(), in.size(), static_cast<off_t>(at));
      if (read < 0 && errno == EINTR) continue;
      if (read <= 0) return damaged(_("a truncated %s in %s"));
      at += static_cast<std::uint64_t>(read);
      inflater.next_in = in.data();
      inflater.avail_in = static_cast<uInt>(read);
    }
    inflater.next_out = out.data();
    inflater.avail_out = static_cast<uInt>(out.size());
    status = inflate(&inflater, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) return damaged(_("a corrupt %s in %s"));
    const std::size_t produced = out.size() - inflater.avail_out;
    if (git_odb_stream_write(stream, reinterpret_cast<const char*>(out.data()), produced) != 0) {
      return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
    }
    written += produced;
  }
  return written == size ? Status() : damaged(_("a truncated %s in %s"));
}

// Writes the large blob `oid` of `pack` as a loose object, where it is read
// and restored piece by piece: proven by its id, then moved beside the other
// loose objects (over any copy there) and synced, before any pack goes.
Status loosen(git_repository* repository, const std::string& pack, git_odb* database,
              const git_oid& oid, PackSteps& steps) {
  std::size_t size = 0;
  git_object_t type;
  if (git_odb_read_header(&size, &type, database, &oid) != 0) {
    return gitFailure(formatted(_("cannot read %s"), hex(oid).c_str()), Status::Kind::damaged);
  }
  const std::string folder = std::string(git_repository_path(repository)) + kLooseningFolder;
  if (::mkdir(folder.c_str(), Privacy::folderMode) != 0 && errno != EEXIST) {
    return systemFailure(formatted(_("cannot make %s"), folder.c_str()));
  }
  git_odb* raw = nullptr;
  if (git_odb_new(&raw) != 0) return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
  Odb loose(raw);
  git_odb_backend* backend = nullptr;
  if (git_odb_backend_loose(&backend, folder.c_str(), -1, 0, Privacy::folderMode,
                            Privacy::objectMode) != 0) {
    return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
  }
  if (git_odb_add_backend(raw, backend, 1) != 0) {
    backend->free(backend);
    return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
  }
  git_odb_stream* stream = nullptr;
  if (git_odb_open_wstream(&stream, raw, size, GIT_OBJECT_BLOB) != 0) {
    return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
  }
  OdbStream owner(stream);
  if (Status copied = copyPacked(pack, database, oid, size, stream); !copied.ok()) {
    return copied;
  }
  git_oid written;
  if (git_odb_stream_finalize_write(&written, stream) != 0) {
    return gitFailure(formatted(_("cannot write %s"), hex(oid).c_str()));
  }
  if (!git_oid_equal(&written, &oid)) {
    return Status::failure(Status::Kind::damaged,
                           formatted(_("damaged object %s in %s"), hex(oid).c_str(), pack.c_str()),
                           EIO);
  }
  const std::string id = hex(oid), fanOut = fanOutFolder(repository, oid);
  const std::string from = folder + "/" + id.substr(0, 2) + "/" + id.substr(2);
  const std::string to = loosePath(repository, oid);
  if (::mkdir(fanOut.c_str(), Privacy::folderMode) != 0 && errno != EEXIST) {
    return systemFailure(formatted(_("cannot make %s"), fanOut.c_str()));
  }
  if (::rename(from.c_str(), to.c_str()) != 0) {
    return systemFailure(formatted(_("cannot move %s"), from.c_str()));
  }
  for (const std::string& path : {to, fanOut, objectsFolder(repository)}) {
    if (Status done = synced(steps, path); !done.ok()) return done;
  }
  return Status();
}

// What a pack of the history is to hold: the snapshots' objects, walked from
// the newest so that each file's versions are deltas of each other, then
// whatever else the packs it replaces held. Large blobs are left out: loose,
// they are read and restored piece by piece. The chunks of large files are
// gathered apart, for `packChunks`.
class Gathering {
 public:
  Gathering(git_packbuilder* builder, git_odb* odb, std::uint64_t looseFileBytes)
      : builder_(builder), odb_(odb), looseFileBytes_(looseFileBytes) {}

  Status snapshot(git_commit* commit) {
    chunkedFolder_.reset();
    if (Status added = insert(*git_commit_id(commit), nullptr); !added.ok()) return added;
    git_tree* raw = nullptr;
    if (git_commit_tree(&raw, commit) != 0) {
      return gitFailure(_("cannot read a snapshot's folder"), Status::Kind::damaged);
    }
    Tree tree(raw);
    if (!seenTrees_.insert(key(*git_tree_id(raw))).second) return Status();
    if (Status added = insert(*git_tree_id(raw), nullptr); !added.ok()) return added;
    const int walked = git_tree_walk(raw, GIT_TREEWALK_PRE, &Gathering::visit, this);
    if (failure_) return *failure_;
    return walked == 0 ? Status() : packFailure(_("cannot read a snapshot's folder"));
  }

  // An object of a pack being replaced: packed again, or, when large, to be
  // written loose.
  Status keep(const git_oid& oid, git_odb* pack) {
    if (inserted_.contains(key(oid)) || large_.contains(key(oid))) return Status();
    std::size_t size = 0;
    git_object_t type;
    if (git_odb_read_header(&size, &type, pack, &oid) != 0) {
      return packFailure(formatted(_("cannot read %s"), hex(oid).c_str()));
    }
    if (type == GIT_OBJECT_BLOB && size > looseFileBytes_) {
      large_.insert(key(oid));
      return Status();
    }
    return insert(oid, nullptr);
  }
  bool isLarge(const git_oid& oid) const { return large_.contains(key(oid)); }
  bool isChunk(const git_oid& oid) const { return chunkSet_.contains(key(oid)); }
  const std::vector<git_oid>& chunks() const { return chunks_; }
  const std::vector<git_oid>& packed() const { return packed_; }

  // Gives `builder` (one that tries no deltas) every chunk gathered but those
  // `kept` already holds.
  Status packChunks(git_packbuilder* builder, const std::function<bool(const git_oid&)>& kept) {
    for (const git_oid& oid : chunks_) {
      if (kept(oid)) continue;
      if (git_packbuilder_insert(builder, &oid, nullptr) != 0) {
        return packFailure(formatted(_("cannot pack %s"), hex(oid).c_str()));
      }
      packed_.push_back(oid);
    }
    return Status();
  }

  // What another reference, or a line of a reference's log, names: each
  // snapshot and what it holds, as far as they can be read (a snapshot set
  // aside as damaged may miss some). One there but unreadable is kept as it
  // is, never dropped.
  Status reachFrom(git_repository* repository, const git_oid& start) {
    std::vector<git_oid> commits{start};
    while (!commits.empty()) {
      const git_oid id = commits.back();
      commits.pop_back();
      if (!reachedCommits_.insert(key(id)).second) continue;
      git_commit* raw = nullptr;
      if (git_commit_lookup(&raw, repository, &id) != 0) {
        keepAsItIs(id);
        continue;
      }
      Commit commit(raw);
      if (Status added = insert(id, nullptr); !added.ok()) return added;
      if (Status added = reachTree(repository, *git_commit_tree_id(raw), ""); !added.ok()) {
        return added;
      }
      for (unsigned i = 0; i < git_commit_parentcount(raw); ++i) {
        commits.push_back(*git_commit_parent_id(raw, i));
      }
    }
    return Status();
  }
  // Whether an object is to be kept: packed, left loose as large, or
  // unreadable where it is.
  bool reaches(const git_oid& oid) const {
    const std::string id = key(oid);
    return inserted_.contains(id) || largeReached_.contains(id) || asItIs_.contains(id);
  }

 private:
  Status insert(const git_oid& oid, const char* path, bool chunk = false) {
    if (!inserted_.insert(key(oid)).second) return Status();
    if (chunk) {
      chunks_.push_back(oid);
      chunkSet_.insert(key(oid));
      return Status();
    }
    if (git_packbuilder_insert(builder_, &oid, path) != 0) {
      return packFailure(formatted(_("cannot pack %s"), hex(oid).c_str()));
    }
    packed_.push_back(oid);
    return Status();
  }

  void keepAsItIs(const git_oid& oid) {
    if (git_odb_exists(odb_, &oid) == 1) asItIs_.insert(key(oid));
  }

  Status reachTree(git_repository* repository, const git_oid& id, const std::string& path) {
    if (!seenTrees_.insert(key(id)).second) return Status();
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository, &id) != 0) {
      keepAsItIs(id);
      return Status();
    }
    Tree tree(raw);
    if (Status added = insert(id, path.empty() ? nullptr : path.c_str()); !added.ok()) {
      return added;
    }
    const bool chunks = holdsChunks(raw);
    for (std::size_t i = 0, count = git_tree_entrycount(raw); i < count; ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
      const git_oid& oid = *git_tree_entry_id(entry);
      const std::string below = path + git_tree_entry_name(entry);
      if (git_tree_entry_filemode(entry) == GIT_FILEMODE_COMMIT) continue;
      if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
        if (Status added = reachTree(repository, oid, below + "/"); !added.ok()) return added;
        continue;
      }
      std::size_t size = 0;
      git_object_t type;
      if (git_odb_read_header(&size, &type, odb_, &oid) != 0) {
        keepAsItIs(oid);
      } else if (size > looseFileBytes_) {
        largeReached_.insert(key(oid));
      } else if (Status added = insert(oid, below.c_str(), chunks); !added.ok()) {
        return added;
      }
    }
    return Status();
  }

  static int visit(const char* root, const git_tree_entry* entry, void* payload) {
    auto* self = static_cast<Gathering*>(payload);
    const git_oid* oid = git_tree_entry_id(entry);
    // Named by path, so that the versions of one file are deltas of each other.
    const std::string path = std::string(root) + git_tree_entry_name(entry);
    if (git_tree_entry_filemode(entry) == GIT_FILEMODE_COMMIT) {
      // A large file's marker, first in its folder of chunks; else another
      // repository's.
      if (std::string_view(git_tree_entry_name(entry)).starts_with(kChunkMarkerPrefix)) {
        self->chunkedFolder_ = root;
      }
      return 0;
    }
    if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
      self->chunkedFolder_.reset();
      if (!self->seenTrees_.insert(key(*oid)).second) return 1;  // walked already
    } else {
      std::size_t size = 0;
      git_object_t type;
      if (git_odb_read_header(&size, &type, self->odb_, oid) != 0) {
        self->failure_ = packFailure(formatted(_("cannot read %s"), path.c_str()));
        return -1;
      }
      if (size > self->looseFileBytes_) {
        self->largeReached_.insert(key(*oid));
        return 0;  // stays loose, or is loosened from its pack
      }
    }
    const bool chunk = self->chunkedFolder_ == std::string_view(root) &&
                       git_tree_entry_type(entry) == GIT_OBJECT_BLOB;
    if (Status added = self->insert(*oid, path.c_str(), chunk); !added.ok()) {
      self->failure_ = added;
      return -1;
    }
    return 0;
  }

  git_packbuilder* builder_;
  git_odb* odb_;
  std::uint64_t looseFileBytes_;
  ObjectSet inserted_, seenTrees_, large_;
  ObjectSet largeReached_, reachedCommits_, asItIs_;
  std::vector<git_oid> packed_, chunks_;
  ObjectSet chunkSet_;
  std::optional<Status> failure_;
  // The folder of chunks git_tree_walk is in, once its marker was met.
  std::optional<std::string> chunkedFolder_;
};

// The snapshot before `commit`; none for the first, a failure when it cannot
// be read.
Result<Commit> parentToPack(git_commit* commit) {
  if (git_commit_parentcount(commit) == 0) return Commit();
  git_commit* parent = nullptr;
  if (git_commit_parent(&parent, commit, 0) != 0) {
    return gitFailure(_("cannot read a snapshot"), Status::Kind::damaged);
  }
  return Commit(parent);
}

// Removes the loose copies of what `pack` (synced) holds.
Status removeLooseCopies(git_repository* repository, const std::string& pack,
                         const std::vector<git_oid>& objects, PackSteps& steps) {
  auto proof = packDatabase(pack);
  if (!proof.ok()) return proof.status();
  for (const git_oid& oid : objects) {
    if (git_odb_exists(proof->get(), &oid) != 1) continue;
    const std::string path = loosePath(repository, oid);
    if (!exists(path)) continue;
    if (Status done = removed(steps, path); !done.ok()) return done;
  }
  return Status();
}

// The loose objects of the history, by id.
std::vector<git_oid> looseObjects(git_repository* repository) {
  std::vector<git_oid> objects;
  std::error_code missing;
  for (const auto& folder :
       std::filesystem::directory_iterator(objectsFolder(repository), missing)) {
    const std::string fan = folder.path().filename().string();
    if (fan.size() != 2 || !folder.is_directory()) continue;
    for (const auto& file : std::filesystem::directory_iterator(folder.path(), missing)) {
      git_oid oid;
      const std::string id = fan + file.path().filename().string();
      if (id.size() == GIT_OID_HEXSZ && git_oid_fromstr(&oid, id.c_str()) == 0) {
        objects.push_back(oid);
      }
    }
  }
  return objects;
}

// Packs the loose objects alone into a pack of their own, as git's gc --auto
// does (and the chunks among them into another, with no deltas); they are
// removed once the pack that holds them is synced.
Status packLooseObjects(git_repository* repository, git_odb* odb, std::uint64_t looseFileBytes,
                        const std::vector<git_oid>& loose, PackSteps& steps) {
  auto builder = packBuilder(repository);
  if (!builder.ok()) return builder.status();
  auto chunks = plainPackBuilder(odb);
  if (!chunks.ok()) return chunks.status();
  std::vector<git_oid> packed;
  ObjectSet chunkIds;  // the blobs the loose folders of chunks name
  for (const git_oid& oid : loose) {
    std::size_t size = 0;
    git_object_t type;
    if (git_odb_read_header(&size, &type, odb, &oid) != 0) {
      return packFailure(formatted(_("cannot read %s"), hex(oid).c_str()));
    }
    if (size > looseFileBytes) continue;
    packed.push_back(oid);
    git_tree* raw = nullptr;
    if (type != GIT_OBJECT_TREE || git_tree_lookup(&raw, repository, &oid) != 0) continue;
    Tree tree(raw);
    if (!holdsChunks(raw)) continue;
    for (std::size_t i = 1, count = git_tree_entrycount(raw); i < count; ++i) {
      chunkIds.insert(key(*git_tree_entry_id(git_tree_entry_byindex(raw, i))));
    }
  }
  if (packed.empty()) return Status();
  for (const git_oid& oid : packed) {
    git_packbuilder* into = chunkIds.contains(key(oid)) ? chunks->builder.get() : builder->get();
    if (git_packbuilder_insert(into, &oid, nullptr) != 0) {
      return packFailure(formatted(_("cannot pack %s"), hex(oid).c_str()));
    }
  }
  for (git_packbuilder* each : {builder->get(), chunks->builder.get()}) {
    if (git_packbuilder_object_count(each) == 0) continue;
    auto pack = writePack(repository, each, steps);
    if (!pack.ok()) return pack.status();
    if (each == chunks->builder.get()) {
      auto named = chunkPacksOf(repository);
      named.insert(*pack);
      recordChunkPacks(repository, named);
    }
    if (Status done = removeLooseCopies(repository, *pack, packed, steps); !done.ok()) return done;
  }
  return Status();
}

// Of packs sorted by size, smallest first, how many of the smallest to merge
// so that each pack left is at least twice all the packs smaller than it
// (git's geometric repacking): none where that would be one pack alone.
std::size_t geometricPrefix(const std::vector<std::uint64_t>& ascending) {
  std::size_t merged = std::min<std::size_t>(1, ascending.size());
  for (std::uint64_t sum = merged > 0 ? ascending[0] : 0;
       merged < ascending.size() && ascending[merged] < 2 * sum; ++merged) {
    sum += ascending[merged];
  }
  return merged > 1 ? merged : 0;
}

// Whether tidying should pack the whole history again: once the packs added
// since the last whole packing (all but the largest, packs of chunks apart,
// which gain nothing from it) hold more than their share beside the largest.
bool repackingDue(git_repository* repository) {
  const auto chunkPacks = chunkPacksOf(repository);
  std::uint64_t largest = 0, all = 0;
  for (const std::string& pack : packsOf(repository)) {
    if (chunkPacks.contains(pack)) continue;
    const std::uint64_t blocks = blocksOf(pack);
    largest = std::max(largest, blocks);
    all += blocks;
  }
  return (all - largest) * kAddedShareBeforeRepacking > largest;
}

// Packs `packs` into one through `builder` (the same objects, as deltas of
// each other where the builder tries them), and removes them once it is
// synced and proven to hold every object of theirs; the new pack, or none
// when there was nothing to merge. A pack holding a blob too large to pack
// is left as it is.
Result<std::optional<std::string>> mergePacks(git_repository* repository, git_odb* odb,
                                              git_packbuilder* builder,
                                              const std::vector<std::string>& packs,
                                              std::uint64_t looseFileBytes, PackSteps& steps) {
  struct Merged {
    std::string pack;
    std::vector<git_oid> objects;
  };
  std::vector<Merged> merged;
  ObjectSet inserted;
  for (const std::string& pack : packs) {
    auto database = packDatabase(pack);
    if (!database.ok()) return database.status();
    auto objects = objectsIn(database->get(), pack);
    if (!objects.ok()) return objects.status();
    for (const git_oid& oid : *objects) {
      std::size_t size = 0;
      git_object_t type;
      if (git_odb_read_header(&size, &type, odb, &oid) != 0) {
        return packFailure(formatted(_("cannot read %s"), hex(oid).c_str()));
      }
      if (size > looseFileBytes) return std::optional<std::string>();
    }
    for (const git_oid& oid : *objects) {
      if (!inserted.insert(key(oid)).second) continue;
      if (git_packbuilder_insert(builder, &oid, nullptr) != 0) {
        return packFailure(formatted(_("cannot pack %s"), hex(oid).c_str()));
      }
    }
    merged.push_back({pack, std::move(*objects)});
  }
  if (merged.size() < 2) return std::optional<std::string>();
  auto written = writePack(repository, builder, steps);
  if (!written.ok()) return written.status();
  auto proof = packDatabase(*written);
  if (!proof.ok()) return proof.status();
  for (const Merged& old : merged) {
    for (const git_oid& oid : old.objects) {
      if (git_odb_exists(proof->get(), &oid) != 1) {
        return Status::failure(Status::Kind::failed,
                               formatted(_("the new pack lacks %s of %s: kept it"),
                                         hex(oid).c_str(), old.pack.c_str()));
      }
    }
  }
  for (const Merged& old : merged) {
    if (old.pack == *written) continue;
    if (Status done = removed(steps, old.pack + kIndexSuffix); !done.ok()) return done;
    for (const char* suffix : kPackSuffixes) {
      if (Status done = removed(steps, old.pack + suffix); !done.ok()) return done;
    }
  }
  if (Status done = removed(steps, packFolder(repository) + "/" + kMultiPackIndex); !done.ok()) {
    return done;
  }
  return std::optional<std::string>(*written);
}

// Past git's count of packs, the small ones are merged into one (git's
// geometric repacking), those of chunks apart (with no deltas) from the
// others: a whole packing would compress every object of the history again.
Status mergeSmallPacks(git_repository* repository, git_odb* odb, std::uint64_t looseFileBytes,
                       PackSteps& steps) {
  const auto packs = packsOf(repository);
  if (packs.size() < kPacksBeforeRepacking) return Status();
  auto chunkPacks = chunkPacksOf(repository);
  std::vector<std::string> kinds[2];  // the others, the chunks
  for (const std::string& pack : packs) kinds[chunkPacks.contains(pack) ? 1 : 0].push_back(pack);
  for (int chunks : {0, 1}) {
    auto& group = kinds[chunks];
    std::vector<std::pair<std::uint64_t, std::string>> sized;
    for (std::string& pack : group) sized.emplace_back(blocksOf(pack), std::move(pack));
    std::sort(sized.begin(), sized.end());
    std::vector<std::uint64_t> sizes;
    for (const auto& each : sized) sizes.push_back(each.first);
    group.clear();
    for (std::size_t i = 0, merged = geometricPrefix(sizes); i < merged; ++i) {
      group.push_back(sized[i].second);
    }
    if (group.empty()) continue;
    auto builder = packBuilder(repository);
    if (!builder.ok()) return builder.status();
    auto plain = plainPackBuilder(odb);
    if (!plain.ok()) return plain.status();
    auto merged = mergePacks(repository, odb, chunks ? plain->builder.get() : builder->get(), group,
                             looseFileBytes, steps);
    if (!merged.ok()) return merged.status();
    if (chunks && *merged) {
      for (const std::string& pack : group) chunkPacks.erase(pack);
      chunkPacks.insert(**merged);
      recordChunkPacks(repository, chunkPacks);
    }
  }
  git_odb_refresh(odb);
  return Status();
}

// The snapshots each line of the log `path` names.
void logNames(const std::string& path, std::vector<git_oid>& names) {
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    // "OLD NEW name <email> time zone\tmessage"
    for (std::size_t at : {std::size_t{0}, std::size_t{GIT_OID_HEXSZ + 1}}) {
      git_oid oid;
      if (line.size() >= at + GIT_OID_HEXSZ &&
          git_oid_fromstrn(&oid, line.data() + at, GIT_OID_HEXSZ) == 0 && !git_oid_is_zero(&oid)) {
        names.push_back(oid);
      }
    }
  }
}

// Every snapshot a reference or a line of a reference's log names: what
// stock git counts as reachable; and the damaged ones set aside when the
// history was healed, which it does not see, kept for people to look at.
std::vector<git_oid> reachableRoots(git_repository* repository) {
  std::vector<git_oid> roots;
  git_reference_iterator* raw = nullptr;
  if (git_reference_iterator_new(&raw, repository) == 0) {
    for (git_reference* reference = nullptr; git_reference_next(&reference, raw) == 0;) {
      git_reference* resolved = nullptr;
      if (git_reference_resolve(&resolved, reference) == 0) {
        if (const git_oid* target = git_reference_target(resolved)) roots.push_back(*target);
        git_reference_free(resolved);
      }
      git_reference_free(reference);
    }
    git_reference_iterator_free(raw);
  }
  const std::string gitDir = git_repository_path(repository);
  for (const std::string& aside : keptAside(repository)) {
    std::ifstream in(gitDir + aside);
    std::string id;
    git_oid oid;
    if (std::getline(in, id) && id.size() >= GIT_OID_HEXSZ &&
        git_oid_fromstrn(&oid, id.data(), GIT_OID_HEXSZ) == 0) {
      roots.push_back(oid);
    }
  }
  std::error_code ignored;
  for (const std::string& folder : {gitDir + "logs", gitDir + kAsideLogs}) {
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->is_regular_file(ignored)) logNames(it->path().string(), roots);
    }
  }
  return roots;
}

}  // namespace

Status History::tidy() {
  // Every loose object is packed at once, not only past git's gc --auto
  // count: each takes a block of the disk of its own and is no delta.
  const auto loose = looseObjects(repository_);
  if (loose.empty()) return Status();
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  if (Status packed = packLooseObjects(repository_, odb->get(), looseFileBytes_, loose,
                                       packSteps_ != nullptr ? *packSteps_ : PackSteps::real());
      !packed.ok()) {
    return packed;
  }
  git_odb_refresh(odb->get());
  if (repackingDue(repository_)) return pack();
  return mergeSmallPacks(repository_, odb->get(), looseFileBytes_,
                         packSteps_ != nullptr ? *packSteps_ : PackSteps::real());
}

Status History::pack() { return repack(/*dropUnreachable=*/false); }

Status History::repack(bool dropUnreachable) {
  PackSteps& steps = packSteps_ != nullptr ? *packSteps_ : PackSteps::real();
  // Without a readable newest snapshot nothing can be shown to be kept.
  auto head = headCommit(repository_);
  if (!head.ok()) {
    return head.status().kind() == Status::Kind::noHistory ? Status() : head.status();
  }
  auto builder = packBuilder(repository_);
  if (!builder.ok()) return builder.status();
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  auto chunks = plainPackBuilder(odb->get());
  if (!chunks.ok()) return chunks.status();
  Gathering gathering(builder->get(), odb->get(), looseFileBytes_);
  for (Commit commit = std::move(*head); commit;) {
    if (Status added = gathering.snapshot(commit.get()); !added.ok()) return added;
    auto parent = parentToPack(commit.get());
    if (!parent.ok()) return parent.status();
    commit = std::move(*parent);
  }
  if (dropUnreachable) {
    for (const git_oid& root : reachableRoots(repository_)) {
      if (Status added = gathering.reachFrom(repository_, root); !added.ok()) return added;
    }
  }
  struct Replaced {
    std::string pack;
    Odb database;
    std::vector<git_oid> objects;
    std::uint64_t bytes = 0;
  };
  std::vector<Replaced> replaced;
  for (std::string& pack : packsOf(repository_)) {
    auto database = packDatabase(pack);
    if (!database.ok()) return database.status();
    auto objects = objectsIn(database->get(), pack);
    if (!objects.ok()) return objects.status();
    struct stat info {};
    const std::uint64_t bytes =
        ::stat((pack + ".pack").c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    replaced.push_back({std::move(pack), std::move(*database), std::move(*objects), bytes});
  }
  // Packs of chunks alone, every one a chunk the history keeps, stay as they
  // are where they are large beside the smaller ones (git's geometric
  // repacking, by twos): packing a chunk again saves nothing and costs a
  // pass over a large file's content.
  std::vector<Replaced> kept;
  std::vector<std::size_t> chunkPacks;
  for (std::size_t i = 0; i < replaced.size(); ++i) {
    const auto& objects = replaced[i].objects;
    if (!objects.empty() && std::all_of(objects.begin(), objects.end(), [&](const git_oid& oid) {
          return gathering.isChunk(oid);
        })) {
      chunkPacks.push_back(i);
    }
  }
  std::sort(chunkPacks.begin(), chunkPacks.end(),
            [&](std::size_t a, std::size_t b) { return replaced[a].bytes < replaced[b].bytes; });
  std::vector<std::uint64_t> sizes;
  for (std::size_t i : chunkPacks) sizes.push_back(replaced[i].bytes);
  const std::size_t merged = geometricPrefix(sizes);
  std::vector<bool> keptHere(replaced.size(), false);
  for (std::size_t i = merged; i < chunkPacks.size(); ++i) keptHere[chunkPacks[i]] = true;
  for (std::size_t i = replaced.size(); i-- > 0;) {
    if (!keptHere[i]) continue;
    kept.push_back(std::move(replaced[i]));
    replaced.erase(replaced.begin() + static_cast<std::ptrdiff_t>(i));
  }
  // Whatever else the packs replaced held (objects no snapshot names, kept
  // aside) is packed again too.
  for (const Replaced& old : replaced) {
    for (const git_oid& oid : old.objects) {
      if (dropUnreachable && !gathering.reaches(oid)) continue;
      if (Status added = gathering.keep(oid, old.database.get()); !added.ok()) return added;
    }
  }
  const auto inKept = [&](const git_oid& oid) {
    return std::any_of(kept.begin(), kept.end(), [&](const Replaced& pack) {
      return git_odb_exists(pack.database.get(), &oid) == 1;
    });
  };
  if (Status added = gathering.packChunks(chunks->builder.get(), inKept); !added.ok()) {
    return added;
  }

  // The new packs: the history's objects, and its chunks; and the packs of
  // chunks kept as they are.
  std::vector<std::string> written;
  std::vector<Odb> proofs;
  for (Replaced& pack : kept) {
    written.push_back(pack.pack);
    proofs.push_back(std::move(pack.database));
  }
  std::unordered_set<std::string> chunkPacksNow(written.begin(), written.end());
  for (git_packbuilder* each : {builder->get(), chunks->builder.get()}) {
    if (git_packbuilder_object_count(each) == 0) continue;
    auto pack = writePack(repository_, each, steps);
    if (!pack.ok()) return pack.status();
    auto database = packDatabase(*pack);
    if (!database.ok()) return database.status();
    if (each == chunks->builder.get()) chunkPacksNow.insert(*pack);
    written.push_back(std::move(*pack));
    proofs.push_back(std::move(*database));
  }
  const auto proven = [&](const git_oid& oid) {
    return std::any_of(proofs.begin(), proofs.end(),
                       [&](const Odb& proof) { return git_odb_exists(proof.get(), &oid) == 1; });
  };
  // The large objects of the packs replaced, loose.
  std::error_code ignored;
  const std::string loosening = std::string(git_repository_path(repository_)) + kLooseningFolder;
  std::filesystem::remove_all(loosening, ignored);  // a killed packing's
  ObjectSet loosened;
  for (const Replaced& old : replaced) {
    for (const git_oid& oid : old.objects) {
      if (!gathering.isLarge(oid) || loosened.contains(key(oid))) continue;
      if (Status done = loosen(repository_, old.pack, old.database.get(), oid, steps); !done.ok()) {
        return done;
      }
      loosened.insert(key(oid));
    }
  }
  std::filesystem::remove_all(loosening, ignored);
  // The proof: every object of every pack replaced is in the new one, or loose.
  for (const Replaced& old : replaced) {
    for (const git_oid& oid : old.objects) {
      if (proven(oid) || loosened.contains(key(oid)) ||
          (dropUnreachable && !gathering.reaches(oid))) {
        continue;
      }
      return Status::failure(
          Status::Kind::failed,
          formatted(_("the new packs lack %s of %s: kept it"), hex(oid).c_str(), old.pack.c_str()));
    }
  }
  // Where unreachable objects go, every object kept is proven in the new pack
  // first, as their only copy may be a loose one about to be judged.
  if (dropUnreachable) {
    for (const git_oid& oid : gathering.packed()) {
      if (!proven(oid)) {
        return Status::failure(
            Status::Kind::failed,
            formatted(_("the new packs lack %s: kept everything"), hex(oid).c_str()));
      }
    }
  }
  // git's commit-graph names commits: one that names a commit dropped would
  // make stock git fail to read the history. It is only a cache, which git
  // makes again, so it goes first.
  if (dropUnreachable) {
    const std::string info = objectsFolder(repository_) + "/info/";
    if (Status done = removed(steps, info + kCommitGraph); !done.ok()) return done;
    std::error_code missing;
    for (const auto& entry :
         std::filesystem::directory_iterator(info + kCommitGraph + "s", missing)) {
      if (Status done = removed(steps, entry.path().string()); !done.ok()) return done;
    }
  }
  // Only now does anything go: the packs replaced (the index first, so that
  // no reader finds a pack half gone), any index over them, and the loose
  // copies of what the new pack holds.
  for (const Replaced& old : replaced) {
    // The same objects made the same pack.
    if (std::find(written.begin(), written.end(), old.pack) != written.end()) continue;
    if (Status done = removed(steps, old.pack + kIndexSuffix); !done.ok()) return done;
    for (const char* suffix : kPackSuffixes) {
      if (Status done = removed(steps, old.pack + suffix); !done.ok()) return done;
    }
  }
  if (!replaced.empty()) {
    if (Status done = removed(steps, packFolder(repository_) + "/" + kMultiPackIndex); !done.ok()) {
      return done;
    }
  }
  std::vector<git_oid> packedOrKept = gathering.packed();
  packedOrKept.insert(packedOrKept.end(), gathering.chunks().begin(), gathering.chunks().end());
  for (const std::string& pack : written) {
    if (Status done = removeLooseCopies(repository_, pack, packedOrKept, steps); !done.ok()) {
      return done;
    }
  }
  if (dropUnreachable) {
    for (const git_oid& oid : looseObjects(repository_)) {
      if (gathering.reaches(oid)) continue;
      if (Status done = removed(steps, loosePath(repository_, oid)); !done.ok()) return done;
    }
  }
  recordChunkPacks(repository_, chunkPacksNow);
  git_odb_refresh(odb->get());
  return Status();
}

}  // namespace tarvine::history
