#include "history/Loose.h"

#include <fcntl.h>
#include <git2/sys/odb_backend.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "history/GitObjects.h"
#include "history/Text.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

constexpr std::size_t kCompressedPieceBytes = 1 << 16;
// A header is "TYPE SIZE\0": longer than this, it is garbage.
constexpr std::size_t kLongestHeader = 64;
// How much zlib can make of one byte at most (its deflate's limit is 1032).
constexpr std::uint64_t kMostInflation = 1032;
// Before every other backend: the store's (packs 2, loose objects 1) and the
// front that writes objects back (3).
constexpr int kGuardPriority = 4;

// Hashes content streamed into it as an object of `type` and `size` would be.
class Hash {
 public:
  Hash(git_odb* hashing, git_object_t type, std::uint64_t size) {
    if (git_odb_open_wstream(&stream_, hashing, size, type) != 0) stream_ = nullptr;
    owner_.reset(stream_);
  }
  bool add(const char* bytes, std::size_t size) {
    return stream_ != nullptr && git_odb_stream_write(stream_, bytes, size) == 0;
  }
  // Whether what was added hashes to `expected`.
  bool matches(const git_oid& expected) {
    git_oid got;
    return stream_ != nullptr && git_odb_stream_finalize_write(&got, stream_) == 0 &&
           git_oid_equal(&got, &expected);
  }

 private:
  git_odb_stream* stream_ = nullptr;
  OdbStream owner_;
};

}  // namespace

std::optional<std::string> inflateLoose(const std::string& path, const LooseHeader& header,
                                        const LooseContent& content) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file.valid()) {
    if (errno == ENOENT) return std::nullopt;
    return formatted(_("cannot open its file: %s"), std::strerror(errno));
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    return formatted(_("cannot read its file: %s"), std::strerror(errno));
  }
  z_stream inflater{};
  if (inflateInit(&inflater) != Z_OK) return _("cannot inflate");
  std::unique_ptr<z_stream, int (*)(z_stream*)> ender(&inflater, &inflateEnd);
  std::vector<unsigned char> in(kCompressedPieceBytes), out(kStreamPieceBytes);
  std::string text;  // "TYPE SIZE\0", before the content
  bool inHeader = true;
  std::uint64_t expectedSize = 0, seen = 0;
  bool readAny = false;
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (inflater.avail_in == 0) {
      const ssize_t got = ::read(file.get(), in.data(), in.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return formatted(_("cannot read its file: %s"), std::strerror(errno));
      if (got == 0) return readAny ? _("its file is cut short") : _("its file is empty");
      readAny = true;
      inflater.next_in = in.data();
      inflater.avail_in = static_cast<uInt>(got);
    }
    inflater.next_out = out.data();
    inflater.avail_out = static_cast<uInt>(out.size());
    status = inflate(&inflater, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) return _("its file is not zlib data");
    const char* produced = reinterpret_cast<const char*>(out.data());
    std::size_t length = out.size() - inflater.avail_out;
    if (inHeader) {
      const auto* end = static_cast<const char*>(std::memchr(produced, 0, length));
      text.append(produced, end != nullptr ? end - produced : length);
      if (end == nullptr) {
        if (text.size() > kLongestHeader) return _("its header is garbled");
        continue;
      }
      const auto space = text.find(' ');
      const git_object_t type = space == std::string::npos
                                    ? GIT_OBJECT_INVALID
                                    : git_object_string2type(text.substr(0, space).c_str());
      const char* digits = text.data() + (space == std::string::npos ? 0 : space + 1);
      const auto [last, error] = std::from_chars(digits, text.data() + text.size(), expectedSize);
      if (type == GIT_OBJECT_INVALID || error != std::errc() || last != text.data() + text.size()) {
        return _("its header is garbled");
      }
      // zlib cannot make more than about a thousand times what it was given:
      // a larger length is a garbled header, not one to make room for.
      if (expectedSize / kMostInflation > static_cast<std::uint64_t>(info.st_size)) {
        return _("its header is garbled");
      }
      if (!header(type, expectedSize)) return _("it is not of the kind its folder names");
      inHeader = false;
      length -= static_cast<std::size_t>(end + 1 - produced);
      produced = end + 1;
    }
    seen += length;
    if (seen > expectedSize) return _("it is longer than its header says");
    if (length > 0 && !content(produced, length)) return _("cannot take its content");
  }
  if (inHeader || seen != expectedSize) return _("it is shorter than its header says");
  return std::string();
}

std::optional<std::string> verifyLoose(git_repository* repository, git_odb* hashing,
                                       const git_oid& oid, git_object_t expected) {
  std::optional<Hash> hash;
  auto read = inflateLoose(
      looseObjectPath(repository, oid),
      [&](git_object_t type, std::uint64_t size) {
        if (type != expected) return false;
        hash.emplace(hashing, type, size);
        return true;
      },
      [&](const char* bytes, std::size_t size) { return hash->add(bytes, size); });
  if (!read || !read->empty()) return read;
  if (!hash->matches(oid)) return _("its content does not match its id");
  return std::string();
}

namespace {

struct Guard : git_odb_backend {
  git_repository* repository = nullptr;
};

int readWhole(void** data, size_t* length, git_object_t* type, git_odb_backend* self,
              const git_oid* oid) {
  auto* guard = static_cast<Guard*>(self);
  char* buffer = nullptr;
  std::size_t filled = 0;
  auto read = inflateLoose(
      looseObjectPath(guard->repository, *oid),
      [&](git_object_t kind, std::uint64_t size) {
        // What libgit2 allocates, it frees with the object; ended with a
        // zero, as its own reader leaves it.
        buffer = static_cast<char*>(git_odb_backend_data_alloc(self, size + 1));
        if (buffer == nullptr) return false;
        buffer[size] = '\0';
        *type = kind;
        *length = size;
        return true;
      },
      [&](const char* bytes, std::size_t size) {
        std::memcpy(buffer + filled, bytes, size);
        filled += size;
        return true;
      });
  if (!read) return GIT_ENOTFOUND;  // packed: git's own backends read it
  if (read->empty()) {
    *data = buffer;
    return 0;
  }
  if (buffer != nullptr) git_odb_backend_data_free(self, buffer);
  git_error_set_str(
      GIT_ERROR_ODB,
      formatted(_("the object %s cannot be read: %s"), hex(*oid).c_str(), read->c_str()).c_str());

  return GIT_ERROR;
}

}  // namespace

Status readLooseSafely(git_repository* repository) {
  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  auto* guard = new Guard{};
  git_odb_init_backend(guard, GIT_ODB_BACKEND_VERSION);
  guard->repository = repository;
  guard->read = &readWhole;
  guard->free = [](git_odb_backend* self) { delete static_cast<Guard*>(self); };
  if (git_odb_add_backend(odb->get(), guard, kGuardPriority) != 0) {
    delete guard;
    return gitFailure(_("cannot open the objects"));
  }
  return Status();
}

}  // namespace tarvine::history
