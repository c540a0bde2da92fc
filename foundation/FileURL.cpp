#include "foundation/FileURL.h"

#include <vector>

#include "foundation/TextSplit.h"

namespace tarvine {
namespace {

std::vector<std::string_view> components(std::string_view path) { return splitNonEmpty(path, '/'); }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool keptInPath(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '/':
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
      return true;
    default:
      return false;
  }
}

}  // namespace

FileURL FileURL::fromPath(std::string_view path, bool isDirectory) {
  std::string p(path);
  if (p.empty() || p.front() != '/') p.insert(p.begin(), '/');
  if (isDirectory && p.back() != '/') p += '/';
  return FileURL(std::move(p));
}

std::optional<FileURL> FileURL::parse(std::string_view text) {
  constexpr std::string_view kScheme = "file://";
  if (text.size() < kScheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kScheme[i]) return std::nullopt;
  }
  std::string_view rest = text.substr(kScheme.size());
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::string_view host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return std::nullopt;
  std::string_view encoded = rest.substr(slash);
  // No path holds a NUL, escaped or not. (One search per character, each a
  // memchr, rather than find_first_of's call per character of the text.)
  for (char refused : std::string_view("?#\0", 3)) {
    if (encoded.find(refused) != std::string_view::npos) return std::nullopt;
  }

  // The text between escapes is copied a run at a time: a file manager hands
  // over thousands of these for one large selection, and a character at a time
  // cost the unoptimised build microseconds each.
  std::string path;
  path.reserve(encoded.size());
  for (std::size_t from = 0;;) {
    const std::size_t i = encoded.find('%', from);
    path.append(encoded.substr(from, i - from));
    if (i == std::string_view::npos) break;
    if (i + 2 >= encoded.size()) return std::nullopt;
    int hi = hexValue(encoded[i + 1]);
    int lo = hexValue(encoded[i + 2]);
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
    path += static_cast<char>(hi * 16 + lo);
    from = i + 3;
  }
  return FileURL(std::move(path));
}

std::string FileURL::toString() const {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (char ch : path_) {
    auto c = static_cast<unsigned char>(ch);
    if (keptInPath(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string FileURL::path() const {
  std::string p = path_;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool FileURL::hasDirectoryPath() const { return !path_.empty() && path_.back() == '/'; }

FileURL FileURL::standardized() const {
  const std::vector<std::string_view> parts = components(path_);
  std::vector<std::string_view> kept;
  for (std::string_view part : parts) {
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (part != ".") {
      kept.push_back(part);
    }
  }
  // A path that ends in "." or ".." names a directory.
  const bool endsAsDirectory =
      hasDirectoryPath() || (!parts.empty() && (parts.back() == "." || parts.back() == ".."));
  std::string out;
  for (std::string_view part : kept) {
    out += '/';
    out += part;
  }
  if (out.empty() || endsAsDirectory) out += '/';
  return FileURL(std::move(out));
}

FileURL FileURL::appendingPathComponent(std::string_view component, bool isDirectory) const {
  std::string out = path_;
  if (out.back() != '/') out += '/';
  out += component;
  if (isDirectory && out.back() != '/') out += '/';
  return FileURL(std::move(out));
}

FileURL FileURL::deletingLastPathComponent() const {
  std::vector<std::string_view> parts = components(path_);
  if (!parts.empty()) parts.pop_back();
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  out += '/';
  return FileURL(std::move(out));
}

std::string FileURL::lastPathComponent() const {
  std::vector<std::string_view> parts = components(path_);
  return parts.empty() ? std::string("/") : std::string(parts.back());
}

}  // namespace tarvine
