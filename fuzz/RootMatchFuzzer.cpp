// Root matching on an arbitrary manifest and target: the first line is the
// target path, the rest the manifest. The prepared index must agree with the
// plain reading of the containment rule, and the match must be consistent.

#include <optional>
#include <string>
#include <string_view>

#include "foundation/UnicodeText.h"
#include "fuzz/FuzzCheck.h"
#include "shared/RootMatch.h"

namespace {

using tarvine::FileURL;
using tarvine::UnicodeText;

// Resolves nothing: matching then depends on its inputs alone.
class NoLinks : public tarvine::FileSystem {
 public:
  std::optional<std::string> userDatabaseHomeDirectory() override { return std::nullopt; }
  FileURL homeDirectoryForCurrentUser() override { return FileURL::fromPath("/", true); }
  std::optional<FileURL> containerURLForSecurityApplicationGroupIdentifier(
      std::string_view) override {
    return std::nullopt;
  }
  std::optional<tarvine::Timestamp> contentModificationDate(const FileURL&) override {
    return std::nullopt;
  }
  tarvine::Result<std::string> readFile(const FileURL&) override {
    return tarvine::Status::error("none");
  }
  tarvine::Status createDirectory(const FileURL&) override {
    return tarvine::Status::error("none");
  }
  tarvine::Status writeFileAtomically(const FileURL&, std::string_view) override {
    return tarvine::Status::error("none");
  }
  FileURL resolvingSymlinksInPath(const FileURL& url) override { return url; }
};

// The containment rule read literally, root by root.
std::optional<std::size_t> reference(const tarvine::WatchedRootsManifest& manifest,
                                     std::string_view path) {
  for (std::size_t i = 0; i < manifest.roots.size(); ++i) {
    std::string prefix = manifest.roots[i].path;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    if (UnicodeText::canonicallyEqual(path, manifest.roots[i].path) ||
        UnicodeText::hasCanonicalPrefix(path, prefix)) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  std::string_view targetText = input.substr(0, newline);
  if (targetText.find('\0') != std::string_view::npos) return 0;
  auto manifest = tarvine::WatchedRootsManifest::decode(input.substr(newline + 1));
  if (!manifest.ok()) return 0;

  FileURL target = FileURL::fromPath(targetText, !targetText.empty() && targetText.back() == '/');
  NoLinks files;
  tarvine::RootMatch match = tarvine::matchTarget(target, *manifest, files);
  FUZZ_CHECK(match.isDirectory == target.hasDirectoryPath());
  FUZZ_CHECK(!match.isRoot || match.isWatched);
  FUZZ_CHECK(!match.isEnabled || match.isWatched);
  FUZZ_CHECK(match.mode == tarvine::RootMode::automatic || match.isWatched);

  std::string path = target.standardized().path();
  auto expected = reference(*manifest, path);
  FUZZ_CHECK(expected.has_value() == match.isWatched);
  if (expected) {
    const auto& root = manifest->roots[*expected];
    FUZZ_CHECK(match.isRoot == UnicodeText::canonicallyEqual(path, root.path));
    FUZZ_CHECK(match.isEnabled == !root.isPaused);
  }
  return 0;
}
