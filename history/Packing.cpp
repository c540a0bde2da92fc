// Packing: the history's objects gathered into packs, with deltas between the
// versions of each file, as git's gc does.

#include <unistd.h>

#include <filesystem>
#include <set>
#include <unordered_set>

#include "history/GitObjects.h"
#include "history/History.h"

namespace tarvine::history {
namespace {

// git's gc.auto and gc.autoPackLimit: about this many loose objects before
// they are packed, and this many packs before all are packed into one.
constexpr int kLooseObjectsBeforePacking = 6700;
constexpr std::size_t kPacksBeforeRepacking = 50;
// git estimates the loose objects from one of the 256 fan-out folders.
constexpr int kFanOutFolders = 256;
constexpr const char* kSampledFanOut = "objects/17";

std::string objectsFolder(git_repository* repository) {
  return std::string(git_repository_path(repository)) + "objects/";
}

std::set<std::string> packFiles(git_repository* repository) {
  std::set<std::string> found;
  std::error_code missing;
  for (const auto& entry :
       std::filesystem::directory_iterator(objectsFolder(repository) + "pack", missing)) {
    found.insert(entry.path().string());
  }
  return found;
}

Result<PackBuilder> packBuilder(git_repository* repository) {
  git_packbuilder* raw = nullptr;
  if (git_packbuilder_new(&raw, repository) != 0) return gitFailure("cannot pack");
  git_packbuilder_set_threads(raw, 0);  // as many as there are processors
  return PackBuilder(raw);
}

// Packs the loose objects alone into a pack of their own, as git's gc --auto
// does; a failure loses nothing, as the loose objects stay until it is done.
Status packLooseObjects(git_repository* repository, git_odb* odb) {
  auto builder = packBuilder(repository);
  if (!builder.ok()) return builder.status();
  std::vector<std::string> packed;
  std::error_code missing;
  for (const auto& folder :
       std::filesystem::directory_iterator(objectsFolder(repository), missing)) {
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
      if (git_packbuilder_insert(builder->get(), &oid, nullptr) != 0) {
        return gitFailure("cannot pack");
      }
      packed.push_back(file.path().string());
    }
  }
  if (packed.empty()) return Status();
  if (git_packbuilder_write(builder->get(), nullptr, 0, nullptr, nullptr) != 0) {
    return gitFailure("cannot write a pack");
  }
  for (const std::string& file : packed) ::unlink(file.c_str());
  return Status();
}

int looseObjectEstimate(git_repository* repository) {
  std::error_code missing;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(
           std::string(git_repository_path(repository)) + kSampledFanOut, missing);
       it != std::filesystem::directory_iterator(); ++it) {
    ++count;
  }
  return count * kFanOutFolders;
}

// Every object the snapshots reach, into `builder`; large files are left
// loose, so that they are read and restored piece by piece.
struct Reachable {
  git_packbuilder* builder;
  git_odb* odb;
  std::unordered_set<std::string> seenTrees;
  std::vector<git_oid> packed;

  void insert(const git_oid& oid, const char* path) {
    git_packbuilder_insert(builder, &oid, path);
    packed.push_back(oid);
  }

  static int visit(const char* root, const git_tree_entry* entry, void* payload) {
    auto* self = static_cast<Reachable*>(payload);
    const git_oid* oid = git_tree_entry_id(entry);
    if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
      if (!self->seenTrees.insert(hex(*oid)).second) return 1;  // packed already
    } else {
      size_t size = 0;
      git_object_t type;
      if (git_odb_read_header(&size, &type, self->odb, oid) != 0 ||
          size > History::kLooseFileBytes) {
        return 0;
      }
    }
    // Named by path, so that the versions of one file are deltas of each other.
    const std::string path = std::string(root) + git_tree_entry_name(entry);
    self->insert(*oid, path.c_str());
    return 0;
  }

  Status commit(git_commit* commit) {
    const git_oid* id = git_commit_id(commit);
    packed.push_back(*id);
    if (git_packbuilder_insert(builder, id, nullptr) != 0) return gitFailure("cannot pack");
    git_tree* raw = nullptr;
    if (git_commit_tree(&raw, commit) != 0) return gitFailure("cannot pack");
    Tree tree(raw);
    if (!seenTrees.insert(hex(*git_tree_id(raw))).second) return Status();
    insert(*git_tree_id(raw), nullptr);
    git_tree_walk(raw, GIT_TREEWALK_PRE, &Reachable::visit, this);
    return Status();
  }
};

}  // namespace

Status History::tidy() {
  if (looseObjectEstimate(repository_) <= kLooseObjectsBeforePacking) return Status();
  if (packFiles(repository_).size() / 2 >= kPacksBeforeRepacking) return pack();
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  return packLooseObjects(repository_, odb->get());
}

Status History::pack() {
  auto builder = packBuilder(repository_);
  if (!builder.ok()) return builder.status();
  auto odb = odbOf(repository_);
  if (!odb.ok()) return odb.status();
  Reachable reachable{builder->get(), odb->get(), {}, {}};
  auto head = headCommit(repository_);
  for (Commit commit = head.ok() ? std::move(*head) : Commit(); commit;
       commit = parentOf(commit.get())) {
    if (Status added = reachable.commit(commit.get()); !added.ok()) return added;
  }
  // The new pack holds every object the old ones did that is still wanted.
  const std::set<std::string> old = packFiles(repository_);
  if (git_packbuilder_write(builder->get(), nullptr, 0, nullptr, nullptr) != 0) {
    return gitFailure("cannot write a pack");
  }
  if (packFiles(repository_) != old) {
    for (const std::string& file : old) ::unlink(file.c_str());
  }
  // The loose copies of what is packed now go, as git's prune does.
  const std::string objects = objectsFolder(repository_);
  for (const git_oid& oid : reachable.packed) {
    const std::string id = hex(oid);
    ::unlink((objects + id.substr(0, 2) + "/" + id.substr(2)).c_str());
  }
  return Status();
}

}  // namespace tarvine::history
