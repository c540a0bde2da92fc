#include "history/Privacy.h"

#include <fcntl.h>
#include <git2.h>
#include <git2/sys/odb_backend.h>
#include <git2/sys/repository.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "foundation/TextSplit.h"
#include "history/Text.h"

namespace tarvine::history {
namespace {

// Set in a store once it has been tightened whole.
constexpr const char* kTightenedKey = "tarvine.private";
// Stock git, writing in the store, keeps its files to their owner too.
constexpr const char* kSharedKey = "core.sharedRepository";
constexpr const char* kOwnerOnly = "0600";
constexpr const char* kFsyncObjectsKey = "core.fsyncObjectFiles";
// libgit2's own order: packs are asked first.
constexpr int kLoosePriority = 1;
constexpr int kPackedPriority = 2;

constexpr mode_t kPermissionBits = 07777;

void tighten(const std::string& path, mode_t mode) {
  if (S_ISLNK(mode)) return;
  const mode_t wanted = S_ISDIR(mode) ? Privacy::folderMode : (mode & S_IRWXU);
  // A file system without modes, or a file of another owner's: nothing to do.
  if ((mode & kPermissionBits) != wanted) (void)::chmod(path.c_str(), wanted);
}

// Tightens `path`; whether it is a folder (a link is never followed).
bool tightenPath(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return false;
  tighten(path, info.st_mode);
  return S_ISDIR(info.st_mode);
}

// Tightens `root` and everything below it but the folders `skipped` (below it).
void tightenTree(std::string root, const std::vector<std::string>& skipped = {}) {
  namespace fs = std::filesystem;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!tightenPath(root)) return;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(root);
    if (std::find(skipped.begin(), skipped.end(), relative.string()) != skipped.end()) {
      it.disable_recursion_pending();
      continue;
    }
    tightenPath(it->path().string());
  }
}

bool configFlag(git_repository* repository, const char* key) {
  git_config* config = nullptr;
  if (git_repository_config_snapshot(&config, repository) != 0) return false;
  int value = 0;
  const bool set = git_config_get_bool(&value, config, key) == 0 && value != 0;
  git_config_free(config);
  return set;
}

// The store's objects through an object database of the history's own, which
// makes its loose objects and their folders private (libgit2's default one
// gives them the umask's modes).
Status useOwnObjects(git_repository* repository) {
  const std::string objects = std::string(git_repository_path(repository)) + "objects";
  git_odb* odb = nullptr;
  if (git_odb_new(&odb) != 0) {
    return Status::error(formatted(_("cannot open the objects of %s"), objects.c_str()));
  }
  std::unique_ptr<git_odb, void (*)(git_odb*)> owner(odb, git_odb_free);
  git_odb_backend* loose = nullptr;
  git_odb_backend* packed = nullptr;
  const int fsync = configFlag(repository, kFsyncObjectsKey) ? 1 : 0;
  if (git_odb_backend_loose(&loose, objects.c_str(), -1, fsync, Privacy::folderMode,
                            Privacy::objectMode) != 0) {
    return Status::error(formatted(_("cannot open the loose objects of %s"), objects.c_str()));
  }
  if (git_odb_add_backend(odb, loose, kLoosePriority) != 0) {
    loose->free(loose);
    return Status::error(formatted(_("cannot open the loose objects of %s"), objects.c_str()));
  }
  if (git_odb_backend_pack(&packed, objects.c_str()) != 0) {
    return Status::error(formatted(_("cannot open the packs of %s"), objects.c_str()));
  }
  if (git_odb_add_backend(odb, packed, kPackedPriority) != 0) {
    packed->free(packed);
    return Status::error(formatted(_("cannot open the packs of %s"), objects.c_str()));
  }
  if (git_repository_set_odb(repository, odb) != 0) {
    return Status::error(formatted(_("cannot open the objects of %s"), objects.c_str()));
  }
  return Status();
}

}  // namespace

Status Privacy::makeFolder(const std::string& path) {
  std::string current;
  for (std::string_view part : splitNonEmpty(path, '/')) {
    current += '/';
    current += part;
    if (::mkdir(current.c_str(), folderMode) == 0) continue;
    struct stat info {};
    if (errno == EEXIST && ::stat(current.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
    const int error = errno;
    return Status::error(formatted(_("cannot make %s: %s"), current.c_str(), std::strerror(error)),
                         error);
  }
  tightenPath(path);
  return Status();
}

void Privacy::tightenFolder(const std::string& path) {
  if (!tightenPath(path)) return;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    tightenPath(entry.path().string());
  }
}

Status Privacy::openStore(git_repository* repository) {
  if (Status own = useOwnObjects(repository); !own.ok()) return own;
  if (configFlag(repository, kTightenedKey)) return Status();
  // Made by an earlier version, or just now: every file, objects included,
  // then the mark (so that a kill before it only means walking again).
  const std::string store = git_repository_path(repository);
  tightenTree(store);
  git_config* config = nullptr;
  if (git_repository_config(&config, repository) == 0) {
    // Unwritten, the store is only walked again at its next opening.
    (void)git_config_set_string(config, kSharedKey, kOwnerOnly);
    (void)git_config_set_bool(config, kTightenedKey, 1);
    git_config_free(config);
  }
  tightenStore(repository);  // the configuration, written again
  return Status();
}

void Privacy::tightenStore(git_repository* repository) {
  tightenTree(git_repository_path(repository), {"objects"});
}

}  // namespace tarvine::history
