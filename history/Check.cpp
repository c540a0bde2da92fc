// Checking a history as `git fsck` does: every object of every snapshot read,
// its content hashed and compared with its id, each commit and tree parsed.

#include <deque>
#include <optional>
#include <unordered_set>

#include "history/Blobs.h"
#include "history/Chunks.h"
#include "history/GitObjects.h"
#include "history/History.h"
#include "history/Intact.h"
#include "history/Loose.h"
#include "history/Text.h"

namespace tarvine::history {
namespace {

std::string lastError() {
  const git_error* error = git_error_last();
  return error != nullptr ? error->message : _("unknown error");
}

std::string rawKey(const git_oid& oid) {
  return std::string(reinterpret_cast<const char*>(oid.id), GIT_OID_RAWSZ);
}

struct Checker {
  git_repository* repository;
  git_odb* packed;  // the packs alone: a damaged loose object is never handed to libgit2
  git_odb* hashing;
  CheckReport& report;
  const std::atomic<bool>* stop;
  std::unordered_set<std::string> seen;

  bool stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }

  void problem(const std::string& snapshot, const std::string& what, const std::string& why) {
    report.problems.push_back(formatted(
        // TRANSLATORS: a snapshot's id, what in it is damaged, and how.
        _("snapshot %s: %s: %s"), shortId(snapshot).c_str(), what.c_str(), why.c_str()));
  }

  // Whether the object can be read whole as the kind expected; each problem
  // is reported once, where it is first met.
  bool verify(const git_oid& oid, git_object_t type, const std::string& snapshot,
              const std::string& what) {
    ++report.objects;
    auto loose = verifyLoose(repository, hashing, oid, type);
    if (loose && loose->empty()) return true;
    // Not loose, or loose and damaged while a packed copy may be whole
    // (libgit2 reads the packed one first).
    git_odb_object* raw = nullptr;
    if (git_odb_read(&raw, packed, &oid) != 0) {
      problem(snapshot, what, loose ? *loose : _("it is missing"));
      return false;
    }
    std::unique_ptr<git_odb_object, Freer<git_odb_object, git_odb_object_free>> object(raw);
    git_oid got;
    if (git_odb_object_type(raw) != type) {
      problem(snapshot, what, _("it is not of the kind its folder names"));
      return false;
    }
    if (git_odb_hash(&got, git_odb_object_data(raw), git_odb_object_size(raw), type) != 0 ||
        !git_oid_equal(&got, &oid)) {
      problem(snapshot, what, _("its content does not match its id"));
      return false;
    }
    return true;
  }

  void tree(const git_oid& id, const std::string& path, const std::string& snapshot) {
    if (!seen.insert(rawKey(id)).second) return;
    const std::string what = formatted(_("the folder %s (%s)"), path.empty() ? "/" : path.c_str(),
                                       shortId(hex(id)).c_str());
    if (!verify(id, GIT_OBJECT_TREE, snapshot, what)) return;
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository, &id) != 0) {
      problem(snapshot, what, formatted(_("it cannot be parsed: %s"), lastError().c_str()));
      return;
    }
    Tree owner(raw);
    bool whole = true;
    for (std::size_t i = 0, count = git_tree_entrycount(raw); i < count && !stopped(); ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
      const git_oid& oid = *git_tree_entry_id(entry);
      const std::string below =
          path.empty() ? git_tree_entry_name(entry) : path + "/" + git_tree_entry_name(entry);
      if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
        tree(oid, below, snapshot);
      } else if (git_tree_entry_type(entry) == GIT_OBJECT_BLOB && seen.insert(rawKey(oid)).second) {
        whole =
            verify(oid, GIT_OBJECT_BLOB, snapshot,
                   formatted(_("the file %s (%s)"), below.c_str(), shortId(hex(oid)).c_str())) &&
            whole;
      }
    }
    // A file kept in chunks: its chunks, read in order, must be the content
    // its marker names, which versions and restores compare by.
    if (const auto file = chunkedFile(repository, id); file && whole && !stopped()) {
      const std::string shown =
          formatted(_("the file %s (%s)"), path.c_str(), shortId(hex(id)).c_str());
      auto content = hashChunks(repository, id, file->size);
      if (!content.ok()) {
        problem(snapshot, shown, content.status().message());
      } else if (!git_oid_equal(&*content, &file->content)) {
        problem(snapshot, shown, _("its chunks do not hold the content it names"));
      }
    }
  }

  // The snapshots from `tip` back, each with its tree.
  void snapshots(const git_oid& tip) {
    std::deque<git_oid> next{tip};
    std::unordered_set<std::string> done;
    while (!next.empty() && !stopped()) {
      const git_oid id = next.front();
      next.pop_front();
      if (!done.insert(rawKey(id)).second) continue;
      ++report.snapshots;
      const std::string snapshot = hex(id);
      const std::string itsCommit = _("its commit");
      if (!verify(id, GIT_OBJECT_COMMIT, snapshot, itsCommit)) continue;
      git_commit* raw = nullptr;
      if (git_commit_lookup(&raw, repository, &id) != 0) {
        problem(snapshot, itsCommit, formatted(_("it cannot be parsed: %s"), lastError().c_str()));
        continue;
      }
      Commit commit(raw);
      tree(*git_commit_tree_id(raw), "", snapshot);
      for (unsigned i = 0; i < git_commit_parentcount(raw); ++i) {
        next.push_back(*git_commit_parent_id(raw, i));
      }
    }
  }
};

}  // namespace

Result<CheckReport> History::check(const std::atomic<bool>* stop) {
  CheckReport report;
  auto packed = packedOdb(repository_);
  if (!packed.ok()) return packed.status();
  auto hashing = hashingOdb();
  if (!hashing.ok()) return hashing.status();
  report.keptAside = keptAside(repository_);
  auto head = headCommit(repository_);
  git_oid tip;
  if (!head.ok()) {
    if (head.status().kind() == Status::Kind::noHistory) return report;
    // The branch names a commit that cannot be read: checked as far as it can be.
    auto branch = branchName(repository_);
    if (!branch.ok() || git_reference_name_to_id(&tip, repository_, branch->c_str()) != 0) {
      report.problems.push_back(head.status().message());
      return report;
    }
  } else {
    tip = *git_commit_id(head->get());
  }
  Checker checker{repository_, packed->get(), hashing->get(), report, stop, {}};
  checker.snapshots(tip);
  if (checker.stopped()) return Status::failure(Status::Kind::failed, _("the check was stopped"));
  return report;
}

}  // namespace tarvine::history
