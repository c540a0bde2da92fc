#pragma once

#include <git2.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "foundation/Status.h"
#include "history/History.h"

// libgit2 as the history engine uses it: its objects owned and freed with
// their own functions, its failures as Status, and the few lookups that every
// part of the engine shares.
namespace tarvine::history {

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* object) const { Free(object); }
};
using Commit = std::unique_ptr<git_commit, Freer<git_commit, git_commit_free>>;
using Tree = std::unique_ptr<git_tree, Freer<git_tree, git_tree_free>>;
using TreeEntry = std::unique_ptr<git_tree_entry, Freer<git_tree_entry, git_tree_entry_free>>;
using TreeBuilder = std::unique_ptr<git_treebuilder, Freer<git_treebuilder, git_treebuilder_free>>;
using Blob = std::unique_ptr<git_blob, Freer<git_blob, git_blob_free>>;
using Odb = std::unique_ptr<git_odb, Freer<git_odb, git_odb_free>>;
using OdbStream = std::unique_ptr<git_odb_stream, Freer<git_odb_stream, git_odb_stream_free>>;
using Signature = std::unique_ptr<git_signature, Freer<git_signature, git_signature_free>>;
using PackBuilder = std::unique_ptr<git_packbuilder, Freer<git_packbuilder, git_packbuilder_free>>;

// Ids as set members, without a string each: a first snapshot of a million
// files holds a million of them.
struct OidHash {
  std::size_t operator()(const git_oid& oid) const {
    std::size_t hash;
    std::memcpy(&hash, oid.id, sizeof hash);  // ids are uniform already
    return hash;
  }
};
struct OidEqual {
  bool operator()(const git_oid& a, const git_oid& b) const { return git_oid_equal(&a, &b); }
};

// Pieces in which file contents are streamed, so that a file larger than
// memory can be kept and restored.
constexpr std::size_t kStreamPieceBytes = 1 << 20;

// libgit2's last error, after `what`.
Status gitFailure(const std::string& what, Status::Kind kind = Status::Kind::failed);
// errno, after `what`.
Status systemFailure(const std::string& what);

std::string hex(const git_oid& oid);

Result<Odb> odbOf(git_repository* repository);
// The history's packs alone, without its loose objects.
Result<Odb> packedOdb(git_repository* repository);
// An object database that stores nothing: what is streamed into it is hashed
// piece by piece, as git names objects, and thrown away.
Result<Odb> hashingOdb();

// The newest snapshot: a failure of kind noHistory when there is none yet,
// and of kind damaged when the branch or its commit cannot be read (a branch
// that is gone while its log names snapshots is damaged too).
Result<Commit> headCommit(git_repository* repository);
// The branch HEAD names ("refs/heads/master"), whatever git's default made it.
Result<std::string> branchName(git_repository* repository);
// Where the object `oid` is kept when it is loose (it may be packed instead).
std::string looseObjectPath(git_repository* repository, const git_oid& oid);
// A snapshot named by its id, an abbreviation or any revision git understands.
Result<Commit> commitById(git_repository* repository, const std::string& id);
// The snapshot before `commit`; null for the first.
Commit parentOf(git_commit* commit);

// The entry at `path` ("" for the root) in a commit's tree; no oid when
// absent. A folder on the way that cannot be read is a failure of kind
// damaged, never taken for an absent entry: what it holds would look deleted.
struct Entry {
  std::optional<git_oid> oid;
  git_filemode_t mode = GIT_FILEMODE_UNREADABLE;
  bool sameAs(const Entry& other) const;
};
Result<Entry> entryAt(git_commit* commit, const std::string& path);

// A snapshot's commit message, which names why it was taken, and the reason
// read back from one.
std::string snapshotMessage(Reason reason, const std::string& root);
Reason reasonOf(git_commit* commit);

}  // namespace tarvine::history
