#include "history/GitObjects.h"

#include <cerrno>
#include <cstring>

namespace tarvine::history {

Status gitFailure(const std::string& what, Status::Kind kind) {
  const git_error* error = git_error_last();
  return Status::failure(kind, what + ": " + (error != nullptr ? error->message : "unknown error"));
}

Status systemFailure(const std::string& what) {
  const int error = errno;
  return Status::error(what + ": " + std::strerror(error), error);
}

std::string hex(const git_oid& oid) {
  char text[GIT_OID_HEXSZ + 1];
  git_oid_tostr(text, sizeof text, &oid);
  return text;
}

Result<Odb> odbOf(git_repository* repository) {
  git_odb* odb = nullptr;
  if (git_repository_odb(&odb, repository) != 0) return gitFailure("cannot open the history");
  return Odb(odb);
}

Result<Commit> headCommit(git_repository* repository) {
  git_oid head;
  if (git_reference_name_to_id(&head, repository, "HEAD") != 0) {
    return Status::failure(Status::Kind::noHistory, "no snapshot yet", ENOENT);
  }
  git_commit* commit = nullptr;
  if (git_commit_lookup(&commit, repository, &head) != 0) {
    return gitFailure("cannot read the newest snapshot", Status::Kind::damaged);
  }
  return Commit(commit);
}

Result<Commit> commitById(git_repository* repository, const std::string& id) {
  git_object* object = nullptr;
  if (git_revparse_single(&object, repository, id.c_str()) != 0) {
    return Status::failure(Status::Kind::notFound, "no such version: " + id, ENOENT);
  }
  git_commit* commit = nullptr;
  const int peeled =
      git_object_peel(reinterpret_cast<git_object**>(&commit), object, GIT_OBJECT_COMMIT);
  git_object_free(object);
  if (peeled != 0) return Status::failure(Status::Kind::invalid, "not a version: " + id, EINVAL);
  return Commit(commit);
}

Commit parentOf(git_commit* commit) {
  git_commit* parent = nullptr;
  return Commit(git_commit_parent(&parent, commit, 0) == 0 ? parent : nullptr);
}

bool Entry::sameAs(const Entry& other) const {
  if (oid.has_value() != other.oid.has_value()) return false;
  return !oid || (git_oid_equal(&*oid, &*other.oid) && mode == other.mode);
}

Entry entryAt(git_commit* commit, const std::string& path) {
  git_tree* tree = nullptr;
  if (git_commit_tree(&tree, commit) != 0) return {};
  Tree owner(tree);
  if (path.empty()) return {*git_tree_id(tree), GIT_FILEMODE_TREE};
  git_tree_entry* entry = nullptr;
  if (git_tree_entry_bypath(&entry, tree, path.c_str()) != 0) return {};
  TreeEntry owned(entry);
  return {*git_tree_entry_id(entry), git_tree_entry_filemode(entry)};
}

}  // namespace tarvine::history
