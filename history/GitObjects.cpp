#include "history/GitObjects.h"

#include <git2/sys/odb_backend.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "history/Text.h"

namespace tarvine::history {

Status gitFailure(const std::string& what, Status::Kind kind) {
  const git_error* error = git_error_last();
  // TRANSLATORS: a failure, then libgit2's own words for its cause.
  return Status::failure(kind, formatted(_("%s: %s"), what.c_str(),
                                         error != nullptr ? error->message : _("unknown error")));
}

Status systemFailure(const std::string& what) {
  const int error = errno;
  // TRANSLATORS: a failure, then the system's words for its cause.
  return Status::error(formatted(_("%s: %s"), what.c_str(), std::strerror(error)), error);
}

std::string hex(const git_oid& oid) {
  char text[GIT_OID_HEXSZ + 1];
  git_oid_tostr(text, sizeof text, &oid);
  return text;
}

Result<Odb> odbOf(git_repository* repository) {
  git_odb* odb = nullptr;
  if (git_repository_odb(&odb, repository) != 0) return gitFailure(_("cannot open the history"));
  return Odb(odb);
}

Result<std::string> branchName(git_repository* repository) {
  git_reference* raw = nullptr;
  if (git_reference_lookup(&raw, repository, "HEAD") != 0) {
    return gitFailure(_("cannot read HEAD"), Status::Kind::damaged);
  }
  std::unique_ptr<git_reference, Freer<git_reference, git_reference_free>> head(raw);
  const char* target = git_reference_symbolic_target(raw);
  if (target == nullptr) return Status::failure(Status::Kind::damaged, _("HEAD names no branch"));
  return std::string(target);
}

std::string looseObjectPath(git_repository* repository, const git_oid& oid) {
  const std::string id = hex(oid);
  return std::string(git_repository_path(repository)) + "objects/" + id.substr(0, 2) + "/" +
         id.substr(2);
}

Result<Odb> packedOdb(git_repository* repository) {
  git_odb* raw = nullptr;
  if (git_odb_new(&raw) != 0) return gitFailure(_("cannot open the packs"));
  Odb odb(raw);
  git_odb_backend* packs = nullptr;
  const std::string objects = std::string(git_repository_path(repository)) + "objects";
  if (git_odb_backend_pack(&packs, objects.c_str()) != 0)
    return gitFailure(_("cannot open the packs"));
  if (git_odb_add_backend(raw, packs, 1) != 0) {
    packs->free(packs);
    return gitFailure(_("cannot open the packs"));
  }
  return odb;
}

Result<Odb> hashingOdb() {
  struct Discarding : git_odb_stream {};
  git_odb* raw = nullptr;
  if (git_odb_new(&raw) != 0) return gitFailure(_("cannot hash"));
  Odb odb(raw);
  auto* backend = new git_odb_backend;
  git_odb_init_backend(backend, GIT_ODB_BACKEND_VERSION);
  backend->writestream = [](git_odb_stream** out, git_odb_backend* self, git_object_size_t,
                            git_object_t) -> int {
    auto* stream = new Discarding{};
    stream->backend = self;
    stream->mode = GIT_STREAM_WRONLY;
    stream->write = [](git_odb_stream*, const char*, size_t) { return 0; };
    stream->finalize_write = [](git_odb_stream*, const git_oid*) { return 0; };
    stream->free = [](git_odb_stream* stream) { delete static_cast<Discarding*>(stream); };
    *out = stream;
    return 0;
  };
  backend->free = [](git_odb_backend* self) { delete self; };
  if (git_odb_add_backend(raw, backend, 1) != 0) {
    backend->free(backend);
    return gitFailure(_("cannot hash"));
  }
  return odb;
}

Result<Commit> headCommit(git_repository* repository) {
  git_oid head;
  if (const int error = git_reference_name_to_id(&head, repository, "HEAD"); error != 0) {
    auto branch = branchName(repository);
    if (!branch.ok()) return branch.status();
    const std::string log = std::string(git_repository_path(repository)) + "logs/" + *branch;
    struct stat info {};
    if (error != GIT_ENOTFOUND || (::stat(log.c_str(), &info) == 0 && info.st_size > 0)) {
      return gitFailure(formatted(_("cannot read the branch %s"), branch->c_str()),
                        Status::Kind::damaged);
    }
    return Status::failure(Status::Kind::noHistory, _("no snapshot yet"), ENOENT);
  }
  git_commit* commit = nullptr;
  if (git_commit_lookup(&commit, repository, &head) != 0) {
    return gitFailure(_("cannot read the newest snapshot"), Status::Kind::damaged);
  }
  return Commit(commit);
}

Result<Commit> commitById(git_repository* repository, const std::string& id) {
  // An abbreviation is expanded from the objects' names alone: libgit2
  // reads every loose object it matches with its own reader, which never
  // returns from one cut short.
  std::string revision = id;
  if (id.size() >= GIT_OID_MINPREFIXLEN && id.size() < GIT_OID_HEXSZ &&
      id.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
    git_oid prefix, full;
    auto odb = odbOf(repository);
    if (odb.ok() && git_oid_fromstrn(&prefix, id.data(), id.size()) == 0 &&
        git_odb_exists_prefix(&full, odb->get(), &prefix, id.size()) == 0) {
      revision = hex(full);
    }
  }
  git_object* object = nullptr;
  if (git_revparse_single(&object, repository, revision.c_str()) != 0) {
    return Status::failure(Status::Kind::notFound, formatted(_("no such version: %s"), id.c_str()),
                           ENOENT);
  }
  git_commit* commit = nullptr;
  const int peeled =
      git_object_peel(reinterpret_cast<git_object**>(&commit), object, GIT_OBJECT_COMMIT);
  git_object_free(object);
  if (peeled != 0) {
    return Status::failure(Status::Kind::invalid, formatted(_("not a version: %s"), id.c_str()),
                           EINVAL);
  }
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

Result<Entry> entryAt(git_commit* commit, const std::string& path) {
  git_tree* tree = nullptr;
  if (git_commit_tree(&tree, commit) != 0) {
    return gitFailure(
        formatted(_("cannot read snapshot %s"), shortId(hex(*git_commit_id(commit))).c_str()),
        Status::Kind::damaged);
  }
  Tree owner(tree);
  if (path.empty()) return Entry{*git_tree_id(tree), GIT_FILEMODE_TREE};
  git_tree_entry* entry = nullptr;
  if (const int error = git_tree_entry_bypath(&entry, tree, path.c_str()); error != 0) {
    if (error == GIT_ENOTFOUND) return Entry{};
    return gitFailure(
        formatted(_("cannot read snapshot %s"), shortId(hex(*git_commit_id(commit))).c_str()),
        Status::Kind::damaged);
  }
  TreeEntry owned(entry);
  return Entry{*git_tree_entry_id(entry), git_tree_entry_filemode(entry)};
}

}  // namespace tarvine::history
