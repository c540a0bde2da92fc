#include "history/StoredNames.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "foundation/TextSplit.h"
#include "history/Text.h"

namespace tarvine::history {
namespace {

// Git reads a name as one of its own files when Windows (NTFS) or macOS
// (HFS+) would: case aside, with trailing dots and spaces, as an 8.3 short
// name, or with code points that HFS+ ignores. Its fsck and checkout apply
// these rules on every system, so the history applies them too.
struct OwnName {
  std::string_view word;         // after the dot
  std::string_view shortPrefix;  // of the hashed 8.3 short name Windows falls back to
};
// ".git" is refused outright; ".gitmodules" and ".gitattributes" are refused
// as links or folders, and as files their content is checked and applied by
// git, so any of them is escaped. (".gitignore" and ".mailmap" are plain
// files to git: a link of that name is only a note of its fsck.)
constexpr OwnName kOwnNames[] = {
    {"git", ""}, {"gitmodules", "gi7eba"}, {"gitattributes", "gi7d29"}};
constexpr std::size_t kShortNameLength = 8;
constexpr std::size_t kShortStemLength = 6;

constexpr char kEscape = '~';
// Where git starts reading a name again: Windows takes a backslash for a
// folder separator, and a colon for the start of a stream's name.
constexpr char kBackslash = '\\';
constexpr char kColon = ':';

char lower(char32_t c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
}

bool equalsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(static_cast<unsigned char>(text[i])) != word[i]) return false;
  }
  return true;
}

// One character of UTF-8, or nothing where the bytes are not UTF-8 as git
// reads it: overlong forms, surrogates, beyond U+10FFFF, and U+FFFE/U+FFFF.
std::optional<char32_t> decoded(std::string_view& text) {
  const auto lead = static_cast<unsigned char>(text.empty() ? 0 : text[0]);
  const std::size_t length = lead < 0x80             ? 1
                             : (lead & 0xe0) == 0xc0 ? 2
                             : (lead & 0xf0) == 0xe0 ? 3
                             : (lead & 0xf8) == 0xf0 ? 4
                                                     : 0;
  if (length == 0 || length > text.size()) return std::nullopt;
  constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  char32_t c = length == 1 ? lead : lead & (0x7f >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xc0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3f);
  }
  if (c < kLeast[length] || (c >= 0xd800 && c <= 0xdfff) || c > 0x10ffff || c == 0xfffe ||
      c == 0xffff) {
    return std::nullopt;
  }
  text.remove_prefix(length);
  return c;
}

bool ignoredByHfs(char32_t c) {
  return (c >= 0x200c && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
         (c >= 0x206a && c <= 0x206f) || c == 0xfeff;
}

// The next character HFS+ compares, 0 at the end; bytes that are not UTF-8
// end the name for git too.
char32_t nextHfs(std::string_view& text) {
  while (!text.empty()) {
    const auto c = decoded(text);
    if (!c) {
      text = {};
      return 0;
    }
    if (!ignoredByHfs(*c)) return *c;
  }
  return 0;
}

bool isHfs(std::string_view name, std::string_view word) {
  if (nextHfs(name) != '.') return false;
  for (char expected : word) {
    const char32_t c = nextHfs(name);
    if (c > 127 || lower(c) != expected) return false;
  }
  return nextHfs(name) == 0;
}

bool onlyDotsAndSpaces(std::string_view rest) {
  return rest.find_first_not_of(". ") == std::string_view::npos;
}

bool isNtfs(std::string_view name, const OwnName& own) {
  const std::size_t wordEnd = 1 + own.word.size();
  if (name.size() >= wordEnd && name[0] == '.' &&
      equalsIgnoringCase(name.substr(1, own.word.size()), own.word)) {
    return onlyDotsAndSpaces(name.substr(wordEnd));
  }
  // The first 8.3 short names: "git~1" for ".git", "gitmod~1" to "~4" for ".gitmodules".
  const std::string_view stem = own.word.substr(0, kShortStemLength);
  if (name.size() >= stem.size() + 2 && equalsIgnoringCase(name.substr(0, stem.size()), stem) &&
      name[stem.size()] == kEscape && name[stem.size() + 1] >= '1' &&
      name[stem.size() + 1] <= (own.shortPrefix.empty() ? '1' : '4')) {
    return onlyDotsAndSpaces(name.substr(stem.size() + 2));
  }
  if (own.shortPrefix.empty()) return false;
  // The hashed short names Windows falls back to: up to six characters of the
  // prefix, "~" and a number, eight characters in all.
  const std::size_t tilde = name.find(kEscape);
  if (tilde > kShortStemLength || name.size() < kShortNameLength ||
      !equalsIgnoringCase(name.substr(0, tilde), own.shortPrefix.substr(0, tilde))) {
    return false;
  }
  const std::string_view number = name.substr(tilde + 1, kShortNameLength - tilde - 1);
  return number[0] >= '1' && number[0] <= '9' &&
         number.find_first_not_of("0123456789") == std::string_view::npos &&
         onlyDotsAndSpaces(name.substr(kShortNameLength));
}

bool refused(std::string_view head) {
  for (const OwnName& own : kOwnNames) {
    if (isHfs(head, own.word) || isNtfs(head, own)) return true;
  }
  return false;
}

// Names refused by git, and the same with escapes added: each is kept with
// one "~" more, so that ".git" is ".git~" and ".git~" is ".git~~".
bool escaped(std::string_view head) {
  for (;; head.remove_suffix(1)) {
    if (refused(head)) return true;
    if (head.empty() || head.back() != kEscape) return false;
  }
}

// Git reads a name from its start and again after each backslash, up to a
// colon or, on HFS+, bytes that are not UTF-8: a "head". The escape goes at
// the end of a head, where it breaks every reading that would end there.
template <class Change>
std::string eachHead(std::string_view name, Change change) {
  std::string out;
  out.reserve(name.size() + 1);
  for (std::size_t start = 0;;) {
    const std::size_t end = name.find(kBackslash, start);
    const std::string_view segment =
        name.substr(start, end == std::string_view::npos ? end : end - start);
    std::string_view rest = segment;
    while (!rest.empty() && rest.front() != kColon && decoded(rest)) {
    }
    const std::size_t headEnd = segment.size() - rest.size();
    out += change(segment.substr(0, headEnd));
    out += segment.substr(headEnd);
    if (end == std::string_view::npos) return out;
    out += kBackslash;
    start = end + 1;
  }
}

// The earlier naming's rule: ".git" in any case, and the same with escapes added.
bool isDotGitLike(std::string_view name) {
  constexpr std::string_view kDotGit = ".git";
  return name.size() >= kDotGit.size() && name[0] == '.' &&
         equalsIgnoringCase(name.substr(1, kDotGit.size() - 1), kDotGit.substr(1)) &&
         name.find_first_not_of(kEscape, kDotGit.size()) == std::string_view::npos;
}

}  // namespace

std::string storedName(std::string_view name, Naming naming) {
  if (naming == Naming::dotGitOnly) {
    return isDotGitLike(name) ? std::string(name) + kEscape : std::string(name);
  }
  return eachHead(name, [](std::string_view head) {
    return escaped(head) ? std::string(head) + kEscape : std::string(head);
  });
}

std::string realName(std::string_view stored, Naming naming) {
  if (naming == Naming::dotGitOnly) {
    return isDotGitLike(stored) && stored.size() > 4
               ? std::string(stored.substr(0, stored.size() - 1))
               : std::string(stored);
  }
  return eachHead(stored, [](std::string_view head) {
    const bool wasEscaped =
        !head.empty() && head.back() == kEscape && escaped(head.substr(0, head.size() - 1));
    return std::string(wasEscaped ? head.substr(0, head.size() - 1) : head);
  });
}

Result<std::vector<std::string>> components(const std::string& relative) {
  const Status refusedPath =
      Status::failure(Status::Kind::invalid,
                      formatted(_("not a path below the root: %s"), relative.c_str()), EINVAL);
  if (!relative.empty() && relative[0] == '/') return refusedPath;
  std::vector<std::string> parts;
  for (std::string_view part : splitNonEmpty(relative, '/')) {
    if (part == "." || part == "..") return refusedPath;
    parts.emplace_back(part);
  }
  return parts;
}

std::string storedPath(const std::vector<std::string>& parts, Naming naming) {
  std::string path;
  for (const std::string& part : parts) {
    path += (path.empty() ? "" : "/") + storedName(part, naming);
  }
  return path;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

}  // namespace tarvine::history
