#include "history/StoredNames.h"

#include <cctype>
#include <cerrno>

#include "foundation/TextSplit.h"

namespace tarvine::history {
namespace {

bool isDotGitLike(std::string_view name) {
  if (name.size() < 4 || name[0] != '.') return false;
  for (std::size_t i = 1; i < 4; ++i) {
    if (std::tolower(static_cast<unsigned char>(name[i])) != "git"[i - 1]) return false;
  }
  return name.find_first_not_of('~', 4) == std::string_view::npos;
}

}  // namespace

std::string storedName(std::string_view name) {
  return isDotGitLike(name) ? std::string(name) + "~" : std::string(name);
}

std::string realName(std::string_view stored) {
  return isDotGitLike(stored) && stored.size() > 4
             ? std::string(stored.substr(0, stored.size() - 1))
             : std::string(stored);
}

Result<std::vector<std::string>> components(const std::string& relative) {
  const Status refused =
      Status::failure(Status::Kind::invalid, "not a path below the root: " + relative, EINVAL);
  if (!relative.empty() && relative[0] == '/') return refused;
  std::vector<std::string> parts;
  for (std::string_view part : splitNonEmpty(relative, '/')) {
    if (part == "." || part == "..") return refused;
    parts.emplace_back(part);
  }
  return parts;
}

std::string storedPath(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + storedName(part);
  return path;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
  return path;
}

}  // namespace tarvine::history
