// Parsing and printing agree; standardising is idempotent and yields a clean path.

#include <string_view>

#include "foundation/FileURL.h"
#include "fuzz/FuzzCheck.h"

namespace {

void checkStandardized(const tarvine::FileURL& url) {
  tarvine::FileURL once = url.standardized();
  FUZZ_CHECK(once.standardized() == once);
  const std::string& raw = once.rawPath();
  FUZZ_CHECK(!raw.empty() && raw.front() == '/');
  FUZZ_CHECK(raw.find("//") == std::string::npos);
  FUZZ_CHECK(raw.find("/./") == std::string::npos && raw.find("/../") == std::string::npos);
  std::string path = once.path();
  FUZZ_CHECK(path == "/" || path.back() != '/');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tarvine::FileURL;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto url = FileURL::parse(text)) {
    FUZZ_CHECK(FileURL::parse(url->toString()) == url);
    checkStandardized(*url);
  }
  if (text.find('\0') == std::string_view::npos) {
    FileURL fromPath = FileURL::fromPath(text, size % 2 == 0);
    FUZZ_CHECK(FileURL::parse(fromPath.toString()) == fromPath);
    checkStandardized(fromPath);
    FUZZ_CHECK(fromPath.deletingLastPathComponent().hasDirectoryPath());
  }
  return 0;
}
