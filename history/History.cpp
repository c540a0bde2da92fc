#include "history/History.h"

#include <dirent.h>
#include <fcntl.h>
#include <git2.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <unordered_map>

#include "foundation/TextSplit.h"
#include "history/FolderAccess.h"

namespace tarvine::history {
namespace {

// libgit2's objects, freed with their own functions.
template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* object) const { Free(object); }
};
using Commit = std::unique_ptr<git_commit, Freer<git_commit, git_commit_free>>;
using Tree = std::unique_ptr<git_tree, Freer<git_tree, git_tree_free>>;
using TreeEntry = std::unique_ptr<git_tree_entry, Freer<git_tree_entry, git_tree_entry_free>>;
using TreeBuilder = std::unique_ptr<git_treebuilder, Freer<git_treebuilder, git_treebuilder_free>>;
using Blob = std::unique_ptr<git_blob, Freer<git_blob, git_blob_free>>;
using Odb = std::unique_ptr<git_odb, Freer<git_odb, git_odb_free>>;
using Signature = std::unique_ptr<git_signature, Freer<git_signature, git_signature_free>>;

// A file descriptor closed with its owner.
struct Fd {
  explicit Fd(int fd = -1) : fd(fd) {}
  Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd, other.fd);
    return *this;
  }
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int fd;
};

Status gitFailure(const std::string& what) {
  const git_error* error = git_error_last();
  return Status::error(what + ": " + (error != nullptr ? error->message : "unknown error"));
}

Status systemFailure(const std::string& what) {
  return Status::error(what + ": " + std::strerror(errno), errno);
}

std::string hex(const git_oid& oid) {
  char text[GIT_OID_HEXSZ + 1];
  git_oid_tostr(text, sizeof text, &oid);
  return text;
}

// Git refuses ".git" as a name in a tree, in any case; every file is history,
// so such names are kept with one "~" more: ".git" as ".git~", ".git~" as
// ".git~~", and so on, which reads back unambiguously.
bool isDotGitLike(std::string_view name) {
  if (name.size() < 4 || name[0] != '.') return false;
  for (std::size_t i = 1; i < 4; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != "git"[i - 1]) return false;
  }
  return name.find_first_not_of('~', 4) == std::string_view::npos;
}
std::string storedName(std::string_view name) {
  return isDotGitLike(name) ? std::string(name) + "~" : std::string(name);
}
std::string realName(std::string_view stored) {
  return isDotGitLike(stored) && stored.size() > 4
             ? std::string(stored.substr(0, stored.size() - 1))
             : std::string(stored);
}

// A path below the root: no empty, "." or ".." components, not absolute.
Result<std::vector<std::string>> components(const std::string& relative) {
  if (!relative.empty() && relative[0] == '/') {
    return Status::error("not a path below the root: " + relative, EINVAL);
  }
  std::vector<std::string> parts;
  for (std::string_view part : splitNonEmpty(relative, '/')) {
    if (part == "." || part == "..") {
      return Status::error("not a path below the root: " + relative, EINVAL);
    }
    parts.emplace_back(part);
  }
  return parts;
}

std::string storedPath(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + storedName(part);
  return path;
}

constexpr std::string_view kReasonTrailer = "Tarvine-Reason: ";
// A restore writes each file beside its place under this prefix, then renames
// it over; one killed midway leaves it behind, which is no file of the user's.
constexpr std::string_view kRestoring = ".tarvine-restore-";

// What the last snapshot saw of each regular file, as git's index keeps it:
// a file whose size, times and inode are unchanged is not read again.
struct CachedFile {
  std::int64_t size, mtime, ctime, inode;
  git_oid blob;
  friend bool operator==(const CachedFile& a, const CachedFile& b) {
    return a.size == b.size && a.mtime == b.mtime && a.ctime == b.ctime && a.inode == b.inode &&
           git_oid_equal(&a.blob, &b.blob);
  }
};
using StatCache = std::unordered_map<std::string, CachedFile>;

bool unchanged(const CachedFile& cached, const struct stat& info) {
  return cached.size == info.st_size &&
         cached.mtime == info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec &&
         cached.ctime == info.st_ctim.tv_sec * 1'000'000'000LL + info.st_ctim.tv_nsec &&
         cached.inode == static_cast<std::int64_t>(info.st_ino);
}

CachedFile cachedOf(const struct stat& info, const git_oid& blob) {
  return {static_cast<std::int64_t>(info.st_size),
          info.st_mtim.tv_sec * 1'000'000'000LL + info.st_mtim.tv_nsec,
          info.st_ctim.tv_sec * 1'000'000'000LL + info.st_ctim.tv_nsec,
          static_cast<std::int64_t>(info.st_ino), blob};
}

StatCache loadCache(const std::string& path) {
  StatCache cache;
  std::ifstream in(path, std::ios::binary);
  if (!in) return cache;
  // CBOR, read whole: it is read at every snapshot, and parses several times
  // faster than JSON text.
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
  try {
    const nlohmann::json json = nlohmann::json::from_cbor(bytes);
    cache.reserve(json.size());
    for (const auto& [name, entry] : json.items()) {
      // The blob's id as its raw bytes: no text to make or parse per file.
      const auto& id = entry.at(4).get_binary();
      if (id.size() != GIT_OID_RAWSZ) throw nlohmann::json::other_error::create(0, "id", nullptr);
      CachedFile& file = cache[name];
      file = {entry.at(0), entry.at(1), entry.at(2), entry.at(3), {}};
      git_oid_fromraw(&file.blob, id.data());
    }
  } catch (const nlohmann::json::exception&) {
    cache.clear();  // unreadable: every file is read again, nothing is lost
  }
  return cache;
}

void saveCache(const std::string& path, const StatCache& cache) {
  nlohmann::json json = nlohmann::json::object();
  for (const auto& [name, entry] : cache) {
    json[name] = {entry.size, entry.mtime, entry.ctime, entry.inode,
                  nlohmann::json::binary({entry.blob.id, entry.blob.id + GIT_OID_RAWSZ})};
  }
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc | std::ios::binary);
    const std::vector<std::uint8_t> bytes = nlohmann::json::to_cbor(json);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) return;  // the next snapshot reads more; nothing else is lost
  }
  std::rename(temporary.c_str(), path.c_str());
}

// Builds the tree of one folder, reading only what the cache cannot vouch for.
class TreeWriter {
 public:
  TreeWriter(FolderAccess& access, git_repository* repository, git_odb* odb,
             const StatCache& previous, Snapshot& report, const std::string& root,
             const std::vector<std::string>& excluded, bool hasIgnoreRules)
      : hasIgnoreRules_(hasIgnoreRules),
        access_(access),
        repository_(repository),
        odb_(odb),
        previous_(previous),
        report_(report),
        root_(root),
        excluded_(excluded) {
    seen.reserve(previous.size());
  }

  StatCache seen;

  Result<git_oid> folder(int fd, const std::string& relative) {
    git_treebuilder* raw = nullptr;
    if (git_treebuilder_new(&raw, repository_, nullptr) != 0) return gitFailure("tree");
    TreeBuilder builder(raw);
    std::vector<std::string> names;
    if (access_.list(fd, names) != 0) return systemFailure("cannot list " + shown(relative));
    for (const std::string& name : names) {
      if (name.rfind(kRestoring, 0) == 0) continue;
      const std::string path = relative.empty() ? name : relative + "/" + name;
      struct stat info {};
      if (access_.statAt(fd, name, info) != 0) continue;  // gone
      if (hasIgnoreRules_) {
        int ignored = 0;
        const std::string asked = S_ISDIR(info.st_mode) ? path + "/" : path;
        if (git_ignore_path_is_ignored(&ignored, repository_, asked.c_str()) == 0 && ignored) {
          continue;
        }
      }
      Result<git_oid> oid = Status::error("");
      git_filemode_t mode;
      if (S_ISDIR(info.st_mode)) {
        if (std::find(excluded_.begin(), excluded_.end(), root_ + "/" + path) != excluded_.end()) {
          continue;
        }
        Fd child(access_.openFolder(fd, name));
        if (child.fd < 0) {
          report_.skipped.push_back(path + ": " + std::strerror(errno));
          continue;
        }
        oid = folder(child.fd, path);
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
      if (!oid.ok()) {
        report_.skipped.push_back(path + ": " + oid.status().message());
        continue;
      }
      if (git_treebuilder_insert(nullptr, builder.get(), storedName(name).c_str(), &*oid, mode) !=
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

 private:
  static std::string shown(const std::string& relative) {
    return relative.empty() ? "the root" : relative;
  }

  Result<git_oid> file(int parent, const std::string& name, const std::string& path,
                       const struct stat& listed) {
    auto cached = previous_.find(path);
    git_oid oid;
    if (cached != previous_.end() && unchanged(cached->second, listed)) {
      seen.emplace(path, cached->second);
      return cached->second.blob;
    }
    Fd fd(access_.openFile(parent, name));
    if (fd.fd < 0) return systemFailure("cannot open");
    struct stat info {};
    if (access_.statOpen(fd.fd, info) != 0 || !S_ISREG(info.st_mode)) {
      return systemFailure("changed");
    }
    // Streamed in pieces, so that a file larger than memory can be kept.
    git_odb_stream* stream = nullptr;
    if (git_odb_open_wstream(&stream, odb_, static_cast<git_object_size_t>(info.st_size),
                             GIT_OBJECT_BLOB) != 0) {
      return storeFailed(path);
    }
    std::unique_ptr<git_odb_stream, Freer<git_odb_stream, git_odb_stream_free>> owner(stream);
    std::vector<char> buffer(1 << 20);
    std::int64_t left = info.st_size;
    while (left > 0) {
      const ssize_t got =
          access_.read(fd.fd, buffer.data(), std::min<std::int64_t>(left, buffer.size()));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return systemFailure("cannot read");
      if (got == 0) return Status::error("changed while it was read", EAGAIN);
      if (git_odb_stream_write(stream, buffer.data(), static_cast<size_t>(got)) != 0) {
        return storeFailed(path);
      }
      left -= got;
    }
    if (git_odb_stream_finalize_write(&oid, stream) != 0) return storeFailed(path);
    ++report_.filesRead;
    seen[path] = cachedOf(info, oid);
    return oid;
  }

  // The history cannot take what it was given (a full disk): no snapshot at
  // all, rather than one that silently lacks the file.
  const bool hasIgnoreRules_;
  FolderAccess& access_;

  Status storeFailed(const std::string& path) {
    fatal_ = gitFailure("cannot store " + path);
    return *fatal_;
  }

  Result<git_oid> link(int parent, const std::string& name, const struct stat& info) {
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = access_.readLink(parent, name, target.data(), target.size());
    if (length < 0) return systemFailure("cannot read the link");
    git_oid oid;
    if (git_blob_create_from_buffer(&oid, repository_, target.data(),
                                    static_cast<size_t>(length)) != 0) {
      return storeFailed(name);
    }
    return oid;
  }

  git_repository* repository_;
  git_odb* odb_;
  const StatCache& previous_;
  Snapshot& report_;
  const std::string root_;
  const std::vector<std::string>& excluded_;
  std::optional<Status> fatal_;
};

Result<Commit> headCommit(git_repository* repository) {
  git_oid head;
  if (git_reference_name_to_id(&head, repository, "HEAD") != 0) {
    return Status::error("no snapshot yet", ENOENT);
  }
  git_commit* commit = nullptr;
  if (git_commit_lookup(&commit, repository, &head) != 0) return gitFailure("cannot read HEAD");
  return Commit(commit);
}

Result<Commit> commitById(git_repository* repository, const std::string& id) {
  git_object* object = nullptr;
  if (git_revparse_single(&object, repository, id.c_str()) != 0) {
    return Status::error("no such version: " + id, ENOENT);
  }
  git_commit* commit = nullptr;
  const int peeled =
      git_object_peel(reinterpret_cast<git_object**>(&commit), object, GIT_OBJECT_COMMIT);
  git_object_free(object);
  if (peeled != 0) return Status::error("not a version: " + id, EINVAL);
  return Commit(commit);
}

// The entry at `path` ("" for the root) in a commit's tree; null when absent.
struct Entry {
  std::optional<git_oid> oid;
  git_filemode_t mode = GIT_FILEMODE_UNREADABLE;
};
Entry entryAt(git_commit* commit, const std::string& path) {
  git_tree* tree = nullptr;
  if (git_commit_tree(&tree, commit) != 0) return {};
  Tree owner(tree);
  if (path.empty()) return {*git_tree_id(tree), GIT_FILEMODE_TREE};
  git_tree_entry* entry = nullptr;
  if (git_tree_entry_bypath(&entry, tree, path.c_str()) != 0) return {};
  TreeEntry owned(entry);
  return {*git_tree_entry_id(entry), git_tree_entry_filemode(entry)};
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

constexpr const char* kIgnoreHelp =
    "# Paths below the watched folder to leave out of its history, one per line,\n"
    "# in .gitignore syntax (for example: *.tmp, build/, !keep.tmp). Nothing is\n"
    "# left out unless it is listed here.\n";

bool hasIgnoreRules(const std::string& file) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t") != std::string::npos && line[0] != '#') return true;
  }
  return false;
}

// Opens the folder `parts` below `root` (creating what is missing), never
// through a link: each component is opened with O_NOFOLLOW.
Result<Fd> openFolder(FolderAccess& access, const std::string& root,
                      const std::vector<std::string>& parts, std::size_t count) {
  Fd fd(access.openRoot(root));
  if (fd.fd < 0) return systemFailure("cannot open " + root);
  for (std::size_t i = 0; i < count; ++i) {
    int next = access.openFolder(fd.fd, parts[i]);
    if (next < 0 && errno == ENOENT) {
      if (access.makeFolder(fd.fd, parts[i]) != 0 && errno != EEXIST) {
        return systemFailure("cannot make " + parts[i]);
      }
      next = access.openFolder(fd.fd, parts[i]);
    }
    if (next < 0) {
      return errno == ELOOP || errno == ENOTDIR
                 ? Status::error("refused: " + parts[i] + " is not a folder but a link or a file",
                                 ENOTDIR)
                 : systemFailure("cannot open " + parts[i]);
    }
    fd = Fd(next);
  }
  return fd;
}

Status writeAll(FolderAccess& access, int fd, const char* bytes, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t wrote = access.write(fd, bytes + done, size - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) return systemFailure("cannot write");
    done += static_cast<std::size_t>(wrote);
  }
  return Status();
}

// A loose object's content to `fd`, inflated piece by piece with zlib:
// libgit2's read stream holds the whole compressed object in memory, which a
// file larger than memory cannot afford. Absent when the object is not loose
// (packed), so that libgit2 reads it.
std::optional<Status> copyLooseBlob(FolderAccess& access, git_repository* repository,
                                    const git_oid& oid, int fd) {
  const std::string id = hex(oid);
  const std::string path = std::string(git_repository_path(repository)) + "objects/" +
                           id.substr(0, 2) + "/" + id.substr(2);
  Fd object(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (object.fd < 0) return std::nullopt;
  z_stream inflater{};
  if (inflateInit(&inflater) != Z_OK) return Status::error("cannot inflate " + id);
  std::unique_ptr<z_stream, int (*)(z_stream*)> ender(&inflater, &inflateEnd);
  std::vector<unsigned char> in(1 << 16), out(1 << 20);
  std::string header;  // "blob SIZE\0", before the content
  bool inHeader = true;
  std::uint64_t expected = 0, written = 0;
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (inflater.avail_in == 0) {
      const ssize_t got = ::read(object.fd, in.data(), in.size());
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return Status::error("truncated object " + id, EIO);
      inflater.next_in = in.data();
      inflater.avail_in = static_cast<uInt>(got);
    }
    inflater.next_out = out.data();
    inflater.avail_out = static_cast<uInt>(out.size());
    status = inflate(&inflater, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) return Status::error("corrupt object " + id, EIO);
    std::size_t produced = out.size() - inflater.avail_out, start = 0;
    if (inHeader) {
      const auto* end = static_cast<unsigned char*>(std::memchr(out.data(), 0, produced));
      header.append(reinterpret_cast<char*>(out.data()),
                    end != nullptr ? end - out.data() : produced);
      if (end == nullptr) continue;
      if (header.rfind("blob ", 0) != 0) return Status::error("not a file: " + id, EINVAL);
      expected = std::stoull(header.substr(5));
      inHeader = false;
      start = static_cast<std::size_t>(end - out.data()) + 1;
    }
    if (Status wrote =
            writeAll(access, fd, reinterpret_cast<char*>(out.data()) + start, produced - start);
        !wrote.ok()) {
      return wrote;
    }
    written += produced - start;
  }
  if (inHeader || written != expected) return Status::error("truncated object " + id, EIO);
  return Status();
}

// A blob's content to `fd`: a loose object inflated piece by piece, so that a
// file larger than memory comes back too; a packed one through libgit2.
Status copyBlob(FolderAccess& access, git_repository* repository, const git_oid& oid, int fd) {
  if (auto copied = copyLooseBlob(access, repository, oid, fd)) return *copied;
  git_odb* rawOdb = nullptr;
  if (git_repository_odb(&rawOdb, repository) != 0) return gitFailure("cannot open the history");
  Odb odb(rawOdb);
  git_odb_stream* stream = nullptr;
  size_t length = 0;
  git_object_t type;
  if (git_odb_open_rstream(&stream, &length, &type, odb.get(), &oid) == 0) {
    std::unique_ptr<git_odb_stream, Freer<git_odb_stream, git_odb_stream_free>> owner(stream);
    std::vector<char> buffer(1 << 20);
    for (;;) {
      const int got = git_odb_stream_read(stream, buffer.data(), buffer.size());
      if (got < 0) return gitFailure("cannot read");
      if (got == 0) return Status();
      if (Status wrote = writeAll(access, fd, buffer.data(), static_cast<std::size_t>(got));
          !wrote.ok()) {
        return wrote;
      }
    }
  }
  git_blob* raw = nullptr;
  if (git_blob_lookup(&raw, repository, &oid) != 0) return gitFailure("cannot read");
  Blob blob(raw);
  return writeAll(access, fd, static_cast<const char*>(git_blob_rawcontent(raw)),
                  static_cast<std::size_t>(git_blob_rawsize(raw)));
}

// Replaces `name` in `folder` with a blob's content (or a link to it) as a
// whole: written beside it, synced, then renamed over it, so that no reader
// ever sees half a file. A link in its place is replaced, never written through.
Status replaceFile(FolderAccess& access, git_repository* repository, int folder,
                   const std::string& name, const git_oid& oid, git_filemode_t mode) {
  static std::mt19937_64 random(std::random_device{}());
  const std::string temporary = std::string(kRestoring) + std::to_string(random());
  if (mode == GIT_FILEMODE_LINK) {
    git_blob* raw = nullptr;
    if (git_blob_lookup(&raw, repository, &oid) != 0) return gitFailure("cannot read");
    Blob blob(raw);
    const std::string target(static_cast<const char*>(git_blob_rawcontent(raw)),
                             static_cast<std::size_t>(git_blob_rawsize(raw)));
    if (access.makeLink(target, folder, temporary) != 0) {
      return systemFailure("cannot restore " + name);
    }
  } else {
    const mode_t permissions = mode == GIT_FILEMODE_BLOB_EXECUTABLE ? 0777 : 0666;
    Fd fd(access.createFile(folder, temporary, permissions));
    if (fd.fd < 0) return systemFailure("cannot restore " + name);
    Status copied = copyBlob(access, repository, oid, fd.fd);
    if (copied.ok() && access.sync(fd.fd) != 0) copied = systemFailure("cannot sync");
    if (!copied.ok()) {
      access.remove(folder, temporary);
      return Status::error("cannot restore " + name + ": " + copied.message(),
                           copied.errorNumber());
    }
  }
  if (access.rename(folder, temporary, name) != 0) {
    const Status failed = systemFailure("cannot restore " + name);
    access.remove(folder, temporary);
    return failed;
  }
  access.sync(folder);
  return Status();
}

}  // namespace

std::string_view reasonName(Reason reason) {
  switch (reason) {
    case Reason::automatic:
      return "automatic";
    case Reason::manual:
      return "manual";
    case Reason::enabled:
      return "enabled";
    case Reason::beforeRestore:
      return "before-restore";
  }
  return "manual";
}

std::string History::repository() const { return git_repository_path(repository_); }

std::string History::ignoreFile() const {
  return std::string(git_repository_path(repository_)) + "info/exclude";
}

History::History(git_repository* repository, std::string root, std::string statCache,
                 FolderAccess& access)
    : repository_(repository),
      root_(std::move(root)),
      statCachePath_(std::move(statCache)),
      access_(access) {}

History::~History() { git_repository_free(repository_); }

Result<std::unique_ptr<History>> History::open(const std::string& repository,
                                               const std::string& root, FolderAccess& access) {
  static std::once_flag initialised;
  std::call_once(initialised, [] {
    git_libgit2_init();
    // Every object a tree names was written by this engine first (the stat
    // cache is saved only after its snapshot): checking each again would
    // cost a lookup per file of an unchanged tree.
    git_libgit2_opts(GIT_OPT_ENABLE_STRICT_OBJECT_CREATION, 0);
  });
  struct stat info {};
  if (::stat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return Status::error("not a folder: " + root, ENOTDIR);
  }
  git_repository* opened = nullptr;
  if (git_repository_open_bare(&opened, repository.c_str()) != 0) {
    if (git_repository_init(&opened, repository.c_str(), /*is_bare=*/1) != 0) {
      return gitFailure("cannot make the history at " + repository);
    }
    // Names Windows or macOS would refuse are fine here: every file is history.
    git_config* config = nullptr;
    if (git_repository_config(&config, opened) == 0) {
      git_config_set_bool(config, "core.protectNTFS", 0);
      git_config_set_bool(config, "core.protectHFS", 0);
      git_config_set_string(config, "tarvine.root", root.c_str());
      // The user's global ignore file is no rule of this history's.
      git_config_set_string(config, "core.excludesfile", "/dev/null");
      git_config_free(config);
    }
    std::ofstream(repository + "/info/exclude", std::ios::trunc) << kIgnoreHelp;
  }
  // Ignore rules are matched against a working folder: an empty one of the
  // history's own, so that no .gitignore of the watched folder is read.
  const std::string matched = repository + "/tarvine-ignore-base";
  ::mkdir(matched.c_str(), 0700);
  git_repository_set_workdir(opened, matched.c_str(), /*update_gitlink=*/0);
  return std::unique_ptr<History>(
      new History(opened, root, repository + "/tarvine-stat-cache", access));
}

namespace {

// git's gc.auto and gc.autoPackLimit: about this many loose objects before
// they are packed, and this many packs before all are packed into one.
constexpr int kLooseObjectsBeforePacking = 6700;
constexpr std::size_t kPacksBeforeRepacking = 50;

std::set<std::string> packFiles(git_repository* repository) {
  std::set<std::string> found;
  std::error_code missing;
  const std::string packs = std::string(git_repository_path(repository)) + "objects/pack";
  for (const auto& entry : std::filesystem::directory_iterator(packs, missing)) {
    found.insert(entry.path().string());
  }
  return found;
}

// Packs the loose objects alone into a pack of their own, as git's gc --auto
// does; a failure loses nothing, as the loose objects stay until it is done.
Status packLooseObjects(git_repository* repository, git_odb* odb) {
  git_packbuilder* raw = nullptr;
  if (git_packbuilder_new(&raw, repository) != 0) return gitFailure("cannot pack");
  std::unique_ptr<git_packbuilder, Freer<git_packbuilder, git_packbuilder_free>> builder(raw);
  git_packbuilder_set_threads(raw, 0);
  const std::string objects = std::string(git_repository_path(repository)) + "objects/";
  std::vector<std::string> packed;
  std::error_code missing;
  for (const auto& folder : std::filesystem::directory_iterator(objects, missing)) {
    const std::string fan = folder.path().filename().string();
    if (fan.size() != 2 || !folder.is_directory()) continue;
    for (const auto& file : std::filesystem::directory_iterator(folder.path(), missing)) {
      git_oid oid;
      size_t size = 0;
      git_object_t type;
      const std::string id = fan + file.path().filename().string();
      if (git_oid_fromstr(&oid, id.c_str()) != 0 ||
          git_odb_read_header(&size, &type, odb, &oid) != 0 || size > History::kLooseFileBytes) {
        continue;
      }
      if (git_packbuilder_insert(raw, &oid, nullptr) != 0) return gitFailure("cannot pack");
      packed.push_back(file.path().string());
    }
  }
  if (packed.empty()) return Status();
  if (git_packbuilder_write(raw, nullptr, 0, nullptr, nullptr) != 0) {
    return gitFailure("cannot write a pack");
  }
  for (const std::string& file : packed) ::unlink(file.c_str());
  return Status();
}

// As git estimates it: the loose objects of one of the 256 fan-out folders, times 256.
int looseObjectEstimate(git_repository* repository) {
  const std::string folder = std::string(git_repository_path(repository)) + "objects/17";
  std::error_code missing;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(folder, missing);
       it != std::filesystem::directory_iterator(); ++it) {
    ++count;
  }
  return count * 256;
}

}  // namespace

Status History::tidy() {
  if (looseObjectEstimate(repository_) <= kLooseObjectsBeforePacking) return Status();
  if (packFiles(repository_).size() / 2 >= kPacksBeforeRepacking) return pack();
  git_odb* rawOdb = nullptr;
  if (git_repository_odb(&rawOdb, repository_) != 0) return gitFailure("cannot pack");
  Odb odb(rawOdb);
  return packLooseObjects(repository_, odb.get());
}

Status History::pack() {
  git_packbuilder* raw = nullptr;
  if (git_packbuilder_new(&raw, repository_) != 0) return gitFailure("cannot pack");
  std::unique_ptr<git_packbuilder, Freer<git_packbuilder, git_packbuilder_free>> builder(raw);
  git_packbuilder_set_threads(raw, 0);  // as many as there are processors
  git_odb* rawOdb = nullptr;
  if (git_repository_odb(&rawOdb, repository_) != 0) return gitFailure("cannot pack");
  Odb odb(rawOdb);
  struct Walk {
    git_packbuilder* builder;
    git_odb* odb;
    std::set<std::string> seenTrees;
    std::vector<git_oid> packed;
  } walk{builder.get(), odb.get(), {}, {}};
  auto head = headCommit(repository_);
  for (Commit commit = head.ok() ? std::move(*head) : Commit(); commit;) {
    const git_oid* id = git_commit_id(commit.get());
    walk.packed.push_back(*id);
    if (git_packbuilder_insert(builder.get(), id, nullptr) != 0) return gitFailure("cannot pack");
    git_tree* rawTree = nullptr;
    if (git_commit_tree(&rawTree, commit.get()) != 0) return gitFailure("cannot pack");
    Tree tree(rawTree);
    if (walk.seenTrees.insert(hex(*git_tree_id(rawTree))).second) {
      walk.packed.push_back(*git_tree_id(rawTree));
      git_packbuilder_insert(builder.get(), git_tree_id(rawTree), nullptr);
      git_tree_walk(
          rawTree, GIT_TREEWALK_PRE,
          [](const char* root, const git_tree_entry* entry, void* payload) -> int {
            auto* walk = static_cast<Walk*>(payload);
            const git_oid* oid = git_tree_entry_id(entry);
            if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
              if (!walk->seenTrees.insert(hex(*oid)).second) return 1;  // packed already
            } else {
              size_t size = 0;
              git_object_t type;
              if (git_odb_read_header(&size, &type, walk->odb, oid) != 0 ||
                  size > kLooseFileBytes) {
                return 0;
              }
            }
            // Named by path, so that the versions of one file are deltas of each other.
            const std::string path = std::string(root) + git_tree_entry_name(entry);
            git_packbuilder_insert(walk->builder, oid, path.c_str());
            walk->packed.push_back(*oid);
            return 0;
          },
          &walk);
    }
    git_commit* parent = nullptr;
    commit = Commit(git_commit_parent(&parent, commit.get(), 0) == 0 ? parent : nullptr);
  }
  // The new pack holds every object the old ones did that is still wanted.
  const std::set<std::string> old = packFiles(repository_);
  if (git_packbuilder_write(builder.get(), nullptr, 0, nullptr, nullptr) != 0) {
    return gitFailure("cannot write a pack");
  }
  if (packFiles(repository_) != old) {
    for (const std::string& file : old) ::unlink(file.c_str());
  }
  // The loose copies of what is packed now go, as git's prune does.
  const std::string objects = std::string(git_repository_path(repository_)) + "objects/";
  for (const git_oid& oid : walk.packed) {
    const std::string id = hex(oid);
    ::unlink((objects + id.substr(0, 2) + "/" + id.substr(2)).c_str());
  }
  return Status();
}

namespace {

// The lock files a killed writer can leave: git's locks on its references
// and logs. With one writer at a time, any found now is stale.
void removeStaleLocks(git_repository* repository) {
  const std::filesystem::path gitDir = git_repository_path(repository);
  std::error_code ignored;
  for (const char* file : {"HEAD.lock", "packed-refs.lock", "config.lock"}) {
    std::filesystem::remove(gitDir / file, ignored);
  }
  for (const char* tree : {"refs", "logs"}) {
    for (auto it = std::filesystem::recursive_directory_iterator(gitDir / tree, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      if (it->path().extension() == ".lock") std::filesystem::remove(it->path(), ignored);
    }
  }
}

}  // namespace

Result<Snapshot> History::snapshot(Reason reason) {
  removeStaleLocks(repository_);
  Snapshot report;
  git_odb* rawOdb = nullptr;
  if (git_repository_odb(&rawOdb, repository_) != 0) return gitFailure("cannot open the history");
  Odb odb(rawOdb);
  Fd root(access_.openRoot(root_));
  if (root.fd < 0) return systemFailure("cannot open " + root_);
  const StatCache previous = loadCache(statCachePath_);
  TreeWriter writer(access_, repository_, odb.get(), previous, report, root_ == "/" ? "" : root_,
                    excluded_, hasIgnoreRules(ignoreFile()));
  Result<git_oid> tree = writer.folder(root.fd, "");
  if (!tree.ok()) return tree.status();

  auto head = headCommit(repository_);
  if (head.ok() && git_oid_equal(git_commit_tree_id(head->get()), &*tree)) {
    if (writer.seen != previous) saveCache(statCachePath_, writer.seen);
    return report;  // nothing changed
  }
  git_tree* rawTree = nullptr;
  if (git_tree_lookup(&rawTree, repository_, &*tree) != 0) return gitFailure("cannot read a tree");
  Tree treeObject(rawTree);
  git_signature* rawSignature = nullptr;
  if (git_signature_now(&rawSignature, "Tarvine", "tarvine@localhost") != 0) {
    return gitFailure("cannot sign");
  }
  Signature signature(rawSignature);
  const std::string message = std::string(reasonName(reason)) + " snapshot of " + root_ + "\n\n" +
                              std::string(kReasonTrailer) + std::string(reasonName(reason)) + "\n";
  const git_commit* parents[1] = {head.ok() ? head->get() : nullptr};
  git_oid commit;
  if (git_commit_create(&commit, repository_, "HEAD", signature.get(), signature.get(), nullptr,
                        message.c_str(), treeObject.get(), head.ok() ? 1 : 0, parents) != 0) {
    return gitFailure("cannot record the snapshot");
  }
  saveCache(statCachePath_, writer.seen);
  report.id = hex(commit);
  return report;
}

namespace {

// How many files differ between two trees of one folder (either may be absent).
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
  const std::size_t count = git_diff_num_deltas(diff);
  git_diff_free(diff);
  return count;
}

}  // namespace

Result<std::vector<Version>> History::versions(const std::string& relative, std::size_t limit) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  const std::string path = storedPath(*parts);
  std::vector<Version> found;
  auto head = headCommit(repository_);
  if (!head.ok()) return found;
  git_odb* rawOdb = nullptr;
  if (git_repository_odb(&rawOdb, repository_) != 0) return gitFailure("cannot open the history");
  Odb odb(rawOdb);
  // Newest first along the snapshots; each compared with the one before it.
  Commit current = std::move(*head);
  Entry currentEntry = entryAt(current.get(), path);
  while (current && found.size() < limit) {
    git_commit* rawParent = nullptr;
    Commit parent(git_commit_parent(&rawParent, current.get(), 0) == 0 ? rawParent : nullptr);
    const Entry older = parent ? entryAt(parent.get(), path) : Entry{};
    const bool same = currentEntry.oid.has_value() == older.oid.has_value() &&
                      (!currentEntry.oid || (git_oid_equal(&*currentEntry.oid, &*older.oid) &&
                                             currentEntry.mode == older.mode));
    if (!same) {
      Version version;
      version.id = hex(*git_commit_id(current.get()));
      version.time = git_commit_time(current.get());
      version.reason = reasonOf(current.get());
      version.change = !older.oid          ? Version::Change::added
                       : !currentEntry.oid ? Version::Change::deleted
                                           : Version::Change::modified;
      if (currentEntry.oid) version.object = hex(*currentEntry.oid);
      version.isFolder = (currentEntry.oid ? currentEntry.mode : older.mode) == GIT_FILEMODE_TREE;
      if (version.isFolder) {
        version.changedFiles = changedFiles(repository_, older, currentEntry);
      } else if (currentEntry.oid) {
        size_t size = 0;
        git_object_t type;
        if (git_odb_read_header(&size, &type, odb.get(), &*currentEntry.oid) == 0) {
          version.size = size;
        }
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
  if (parts->empty()) return Status::error("the root is a folder", EISDIR);
  const std::string path = shownPath(relative);
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return std::string();
    return systemFailure("cannot read " + path);
  }
  git_oid oid;
  if (S_ISLNK(info.st_mode)) {
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return systemFailure("cannot read " + path);
    if (git_odb_hash(&oid, target.data(), static_cast<size_t>(length), GIT_OBJECT_BLOB) != 0) {
      return gitFailure("cannot hash " + path);
    }
  } else if (S_ISREG(info.st_mode)) {
    // A file unchanged since the last snapshot has the id that snapshot
    // recorded: a large file is not read again each time its versions are shown.
    std::string key;
    for (const std::string& part : *parts) key += (key.empty() ? "" : "/") + part;
    const StatCache cache = loadCache(statCachePath_);
    if (auto cached = cache.find(key); cached != cache.end() && unchanged(cached->second, info)) {
      return hex(cached->second.blob);
    }
    if (git_odb_hashfile(&oid, path.c_str(), GIT_OBJECT_BLOB) != 0) {
      return gitFailure("cannot read " + path);
    }
  } else {
    return Status::error(path + " is not a file", EISDIR);
  }
  return hex(oid);
}

Result<std::vector<VersionFile>> History::files(const std::string& id,
                                                const std::string& relative) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  const Entry entry = entryAt(commit->get(), storedPath(*parts));
  if (!entry.oid || entry.mode != GIT_FILEMODE_TREE) {
    return Status::error(shownPath(relative) + " is not a folder in version " + id, ENOTDIR);
  }
  git_tree* raw = nullptr;
  if (git_tree_lookup(&raw, repository_, &*entry.oid) != 0) return gitFailure("cannot read");
  Tree tree(raw);
  git_odb* rawOdb = nullptr;
  if (git_repository_odb(&rawOdb, repository_) != 0) return gitFailure("cannot open the history");
  Odb odb(rawOdb);
  struct Walk {
    git_odb* odb;
    std::vector<VersionFile> files;
  } walk{odb.get(), {}};
  git_tree_walk(
      raw, GIT_TREEWALK_PRE,
      [](const char* root, const git_tree_entry* entry, void* payload) -> int {
        if (git_tree_entry_type(entry) != GIT_OBJECT_BLOB) return 0;
        auto* walk = static_cast<Walk*>(payload);
        std::string path;
        for (std::string_view part : splitNonEmpty(root, '/')) path += realName(part) + "/";
        VersionFile file{path + realName(git_tree_entry_name(entry)), 0,
                         git_tree_entry_filemode(entry) == GIT_FILEMODE_LINK};
        size_t size = 0;
        git_object_t type;
        if (git_odb_read_header(&size, &type, walk->odb, git_tree_entry_id(entry)) == 0) {
          file.size = size;
        }
        walk->files.push_back(std::move(file));
        return 0;
      },
      &walk);
  std::sort(walk.files.begin(), walk.files.end(),
            [](const VersionFile& a, const VersionFile& b) { return a.path < b.path; });
  return std::move(walk.files);
}

Status History::writeFileVersion(const std::string& id, const std::string& relative, int fd) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  auto commit = commitById(repository_, id);
  if (!commit.ok()) return commit.status();
  const Entry entry = entryAt(commit->get(), storedPath(*parts));
  if (!entry.oid || entry.mode == GIT_FILEMODE_TREE) {
    return Status::error(relative + " is not a file in version " + id, ENOENT);
  }
  return copyBlob(PosixFolderAccess::shared(), repository_, *entry.oid, fd);
}

Result<Restored> History::restore(const std::string& relative, std::optional<std::string> id) {
  auto parts = components(relative);
  if (!parts.ok()) return parts.status();
  const std::string path = storedPath(*parts);
  Restored restored;
  // The current state first, so that this restore can be undone.
  auto before = snapshot(Reason::beforeRestore);
  if (!before.ok()) return before.status();
  restored.before = before->id;
  auto head = headCommit(repository_);
  if (!head.ok()) return Status::error("no history of " + root_ + " yet", ENOENT);
  restored.undo = hex(*git_commit_id(head->get()));
  const Entry now = entryAt(head->get(), path);

  Result<Commit> target = Status::error("");
  if (id) {
    target = commitById(repository_, *id);
    if (!target.ok()) return target.status();
  } else {
    // The latest snapshot in which the path existed and differed from now.
    git_commit* raw = nullptr;
    Commit walk(git_commit_parent(&raw, head->get(), 0) == 0 ? raw : nullptr);
    while (walk) {
      const Entry then = entryAt(walk.get(), path);
      if (then.oid && (!now.oid || !git_oid_equal(&*then.oid, &*now.oid))) break;
      Commit older(git_commit_parent(&raw, walk.get(), 0) == 0 ? raw : nullptr);
      walk = std::move(older);
    }
    if (!walk) return Status::error("no earlier version of " + shownPath(relative), ENOENT);
    target = std::move(walk);
  }
  const Entry then = entryAt(target->get(), path);
  if (!then.oid) {
    return Status::error(shownPath(relative) + " is not in that version", ENOENT);
  }
  restored.version = hex(*git_commit_id(target->get()));

  // Every file of the version that differs from now, written one by one.
  std::function<Status(const std::vector<std::string>&, const git_oid&, git_filemode_t)> put =
      [&](const std::vector<std::string>& at, const git_oid& oid, git_filemode_t mode) -> Status {
    const std::string here = storedPath(at);
    const Entry current = entryAt(head->get(), here);
    if (current.oid && git_oid_equal(&*current.oid, &oid) && current.mode == mode) return Status();
    if (mode == GIT_FILEMODE_TREE) {
      git_tree* raw = nullptr;
      if (git_tree_lookup(&raw, repository_, &oid) != 0) return gitFailure("cannot read");
      Tree tree(raw);
      if (at.size() > parts->size() || at == *parts) {
        auto folder = openFolder(access_, root_, at, at.size());  // made if it was deleted
        if (!folder.ok()) return folder.status();
      }
      for (std::size_t i = 0; i < git_tree_entrycount(raw); ++i) {
        const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
        std::vector<std::string> below = at;
        below.push_back(realName(git_tree_entry_name(entry)));
        Status done = put(below, *git_tree_entry_id(entry), git_tree_entry_filemode(entry));
        if (!done.ok()) return done;
      }
      return Status();
    }
    if (at.empty()) return Status::error("the root is a folder", EISDIR);
    auto folder = openFolder(access_, root_, at, at.size() - 1);
    if (!folder.ok()) return folder.status();
    Status done = replaceFile(access_, repository_, folder->fd, at.back(), oid, mode);
    if (done.ok()) {
      std::string shown;
      for (const std::string& part : at) shown += (shown.empty() ? "" : "/") + part;
      restored.written.push_back(shown);
    }
    return done;
  };
  Status done = put(*parts, *then.oid, then.mode);
  if (!done.ok()) return done;
  return restored;
}

std::string History::shownPath(const std::string& relative) const {
  return relative.empty() ? root_ : root_ + "/" + relative;
}

}  // namespace tarvine::history
