// Recording snapshots: each one a commit on the history's branch.

#include "history/Commits.h"

#include "history/GitObjects.h"

namespace tarvine::history {
namespace {

constexpr const char* kSignatureName = "Tarvine";
constexpr const char* kSignatureEmail = "tarvine@localhost";

}  // namespace

Result<std::string> recordSnapshot(git_repository* repository, const git_oid& tree, Reason reason,
                                   const std::string& root) {
  auto head = headCommit(repository);
  if (!head.ok() && head.status().kind() != Status::Kind::noHistory) return head.status();
  if (head.ok() && git_oid_equal(git_commit_tree_id(head->get()), &tree)) return std::string();
  git_tree* rawTree = nullptr;
  if (git_tree_lookup(&rawTree, repository, &tree) != 0) return gitFailure("cannot read a tree");
  Tree treeObject(rawTree);
  git_signature* rawSignature = nullptr;
  if (git_signature_now(&rawSignature, kSignatureName, kSignatureEmail) != 0) {
    return gitFailure("cannot sign");
  }
  Signature signature(rawSignature);
  const std::string message = snapshotMessage(reason, root);
  const git_commit* parents[1] = {head.ok() ? head->get() : nullptr};
  git_oid commit;
  if (git_commit_create(&commit, repository, "HEAD", signature.get(), signature.get(), nullptr,
                        message.c_str(), treeObject.get(), head.ok() ? 1 : 0, parents) != 0) {
    return gitFailure("cannot record the snapshot");
  }
  return hex(commit);
}

}  // namespace tarvine::history
