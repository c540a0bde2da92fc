#include <git2.h>

#include "history/GitObjects.h"
#include "history/History.h"
#include "history/Text.h"

namespace tarvine::history {

Result<Span> History::span() {
  auto head = headCommit(repository_);
  if (!head.ok()) {
    if (head.status().kind() == Status::Kind::noHistory) return Span{};
    return head.status();
  }
  Span span;
  span.newest = git_commit_time(head->get());
  // The revision walk parses each commit's header once (parents and times)
  // and never reads a tree; snapshots have one parent, so this is the chain.
  git_revwalk* raw = nullptr;
  if (git_revwalk_new(&raw, repository_) != 0) return gitFailure(_("cannot walk the history"));
  const std::unique_ptr<git_revwalk, Freer<git_revwalk, git_revwalk_free>> walk(raw);
  git_revwalk_simplify_first_parent(raw);
  if (git_revwalk_push(raw, git_commit_id(head->get())) != 0) {
    return gitFailure(_("cannot walk the history"), Status::Kind::damaged);
  }
  git_oid oid, oldest = *git_commit_id(head->get());
  int walked = 0;
  while ((walked = git_revwalk_next(&oid, raw)) == 0) {
    ++span.snapshots;
    oldest = oid;
  }
  if (walked != GIT_ITEROVER) return gitFailure(_("cannot read a snapshot"), Status::Kind::damaged);
  git_commit* first = nullptr;
  if (git_commit_lookup(&first, repository_, &oldest) != 0) {
    return gitFailure(_("cannot read the oldest snapshot"), Status::Kind::damaged);
  }
  span.oldest = git_commit_time(Commit(first).get());
  return span;
}

}  // namespace tarvine::history
