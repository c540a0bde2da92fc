#include "history/Loose.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "history/GitObjects.h"
#include "platform/posix/FileDescriptor.h"

namespace tarvine::history {
namespace {

constexpr std::size_t kCompressedPieceBytes = 1 << 16;
// A header is "TYPE SIZE\0": longer than this, it is garbage.
constexpr std::size_t kLongestHeader = 64;

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

std::optional<std::string> verifyLoose(git_repository* repository, git_odb* hashing,
                                       const git_oid& oid, git_object_t expected) {
  const std::string path = looseObjectPath(repository, oid);
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file.valid()) {
    if (errno == ENOENT) return std::nullopt;
    return std::string("cannot open its file: ") + std::strerror(errno);
  }
  z_stream inflater{};
  if (inflateInit(&inflater) != Z_OK) return "cannot inflate";
  std::unique_ptr<z_stream, int (*)(z_stream*)> ender(&inflater, &inflateEnd);
  std::vector<unsigned char> in(kCompressedPieceBytes), out(kStreamPieceBytes);
  std::string header;  // "TYPE SIZE\0", before the content
  std::optional<Hash> hash;
  std::uint64_t expectedSize = 0, seen = 0;
  bool readAny = false;
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (inflater.avail_in == 0) {
      const ssize_t got = ::read(file.get(), in.data(), in.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return std::string("cannot read its file: ") + std::strerror(errno);
      if (got == 0) return readAny ? "its file is cut short" : "its file is empty";
      readAny = true;
      inflater.next_in = in.data();
      inflater.avail_in = static_cast<uInt>(got);
    }
    inflater.next_out = out.data();
    inflater.avail_out = static_cast<uInt>(out.size());
    status = inflate(&inflater, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) return "its file is not zlib data";
    const char* produced = reinterpret_cast<const char*>(out.data());
    std::size_t length = out.size() - inflater.avail_out;
    if (!hash) {
      const auto* end = static_cast<const char*>(std::memchr(produced, 0, length));
      header.append(produced, end != nullptr ? end - produced : length);
      if (end == nullptr) {
        if (header.size() > kLongestHeader) return "its header is garbled";
        continue;
      }
      const auto space = header.find(' ');
      const git_object_t type = space == std::string::npos
                                    ? GIT_OBJECT_INVALID
                                    : git_object_string2type(header.substr(0, space).c_str());
      const char* digits = header.data() + (space == std::string::npos ? 0 : space + 1);
      const auto [last, error] =
          std::from_chars(digits, header.data() + header.size(), expectedSize);
      if (type == GIT_OBJECT_INVALID || error != std::errc() ||
          last != header.data() + header.size()) {
        return "its header is garbled";
      }
      if (type != expected) return "it is not of the kind its folder names";
      hash.emplace(hashing, type, expectedSize);
      length -= static_cast<std::size_t>(end + 1 - produced);
      produced = end + 1;
    }
    seen += length;
    if (seen > expectedSize) return "it is longer than its header says";
    if (!hash->add(produced, length)) return "cannot hash it";
  }
  if (!hash || seen != expectedSize) return "it is shorter than its header says";
  if (!hash->matches(oid)) return "its content does not match its id";
  return std::string();
}

}  // namespace tarvine::history
