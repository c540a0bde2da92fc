#include "history/IgnoreRules.h"

#include <git2.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "history/Durable.h"
#include "history/Text.h"

namespace tarvine::history::ignoreRules {
namespace {

bool isPattern(const std::string& line) {
  return line.find_first_not_of(" \t") != std::string::npos && line[0] != '#';
}

// `why` is a translated sentence with one %s, for the pattern.
Status refused(const std::string& pattern, const char* why) {
  return Status::failure(Status::Kind::invalid, formatted(why, pattern.c_str()));
}

// A repository of its own, made in a temporary folder and removed with it:
// its rule file holds the patterns asked about, and its working folder is
// empty, so that nothing of the watched folder's (its .gitignore files) or
// the user's (the global rules) is read.
class Matcher {
 public:
  ~Matcher() {
    if (repository_ != nullptr) git_repository_free(repository_);
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
    git_libgit2_shutdown();
  }

  Status open(const std::vector<std::string>& patterns) {
    git_libgit2_init();
    std::string folder =
        (std::filesystem::temp_directory_path() / "tarvine-ignore-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
      const int error = errno;
      return Status::error(_("cannot make a folder to match the patterns in"), error);
    }
    folder_ = folder;
    const std::string base = folder + "/base";
    std::filesystem::create_directory(base);
    if (git_repository_init(&repository_, (folder + "/repository").c_str(), /*is_bare=*/1) != 0) {
      return Status::error(
          formatted(_("cannot match the patterns: %s"), git_error_last()->message));
    }
    git_config* config = nullptr;
    if (git_repository_config(&config, repository_) == 0) {
      git_config_set_string(config, "core.excludesfile", "/dev/null");
      git_config_free(config);
    }
    std::string text;
    for (const std::string& pattern : patterns) text += pattern + "\n";
    std::ofstream(folder + "/repository/info/exclude", std::ios::trunc) << text;
    git_repository_set_workdir(repository_, base.c_str(), /*update_gitlink=*/0);
    return Status();
  }

  bool ignored(const std::string& path) const {
    int ignored = 0;
    return git_ignore_path_is_ignored(&ignored, repository_, path.c_str()) == 0 && ignored;
  }

 private:
  std::string folder_;
  git_repository* repository_ = nullptr;
};

}  // namespace

Result<std::vector<std::string>> read(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> patterns;
  if (!in) {
    if (errno == ENOENT) return patterns;
    const int error = errno;
    return Status::error(formatted(_("cannot read the ignore rules %s"), file.c_str()), error);
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (isPattern(line)) patterns.push_back(line);
  }
  return patterns;
}

Status write(const std::string& file, const std::vector<std::string>& patterns) {
  std::string text;
  {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line) && !isPattern(line);) {
      if (!line.empty() && line[0] == '#') text += line + "\n";
    }
  }
  for (const std::string& pattern : patterns) {
    if (pattern.find_first_of("\r\n") != std::string::npos) {
      return refused(pattern, _("not an ignore pattern: \"%s\" (one line each)"));
    }
    if (!pattern.empty() && pattern[0] == '#') {
      return refused(pattern, _("not an ignore pattern: \"%s\" (it would be a comment: write \\# "
                                "for a name that starts with #)"));
    }
    if (isPattern(pattern)) text += pattern + "\n";
  }
  return replaceFile(file, text);
}

Result<Count> count(const std::string& root, const std::vector<std::string>& patterns,
                    const std::string& skip, const std::atomic<bool>* stop) {
  namespace fs = std::filesystem;
  Matcher matcher;
  if (Status opened = matcher.open(patterns); !opened.ok()) return opened;
  std::error_code failed;
  fs::recursive_directory_iterator walk(root, fs::directory_options::skip_permission_denied,
                                        failed);
  if (failed) {
    return Status::failure(
        Status::Kind::unavailable,
        formatted(_("cannot read %s: %s"), root.c_str(), failed.message().c_str()), failed.value());
  }
  Count count;
  // The depth of the folder left out that the walk is in, if it is in one.
  int leftOut = -1;
  const std::size_t prefix = root.size() + (root == "/" ? 0 : 1);
  for (; walk != fs::recursive_directory_iterator(); walk.increment(failed)) {
    if (failed)
      return Status::error(
          formatted(_("cannot read %s: %s"), root.c_str(), failed.message().c_str()),
          failed.value());
    if (stop != nullptr && *stop) return Status::failure(Status::Kind::failed, _("stopped"));
    const int depth = walk.depth();
    if (leftOut >= 0 && depth <= leftOut) leftOut = -1;
    const bool folder = walk->symlink_status(failed).type() == fs::file_type::directory;
    if (folder && walk->path() == skip) {
      walk.disable_recursion_pending();
      continue;
    }
    const std::string path = walk->path().string().substr(prefix);
    if (folder) {
      if (leftOut < 0 && matcher.ignored(path + "/")) leftOut = depth;
      continue;
    }
    ++count.files;
    if (leftOut >= 0 || matcher.ignored(path)) ++count.matched;
  }
  if (failed) {
    return Status::error(formatted(_("cannot read %s: %s"), root.c_str(), failed.message().c_str()),
                         failed.value());
  }

  return count;
}

}  // namespace tarvine::history::ignoreRules
