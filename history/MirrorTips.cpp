// The branch's log, carried to a mirror and back as a commit of its own.
#include "history/MirrorTips.h"

#include <git2/sys/mempack.h>
#include <git2/sys/odb_backend.h>
#include <git2/sys/refdb_backend.h>
#include <git2/sys/refs.h>
#include <git2/sys/repository.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "history/Commits.h"
#include "history/Durable.h"
#include "history/GitObjects.h"
#include "history/Text.h"

namespace tarvine::history::mirror::tips {
namespace {

// Above every backend the engine's repositories have, so that what is
// written goes to memory alone.
constexpr int kMemoryPriority = 1000;

// The log's newest lines alone go to the mirror. Each push sends them all
// again (the mirror's last copy is not here for only the difference to be
// sent), a few KB; and a history set back after damage goes to the newest
// intact snapshot among its former tips, which is one of the last few.
constexpr std::size_t kLinesKept = 100;

// The last `count` lines of `text`.
std::string lastLines(const std::string& text, std::size_t count) {
  std::size_t start = text.size();
  for (std::size_t lines = 0; start > 0; --start) {
    if (text[start - 1] == '\n' && start != text.size() && ++lines == count) break;
  }
  return text.substr(start);
}

std::string logPath(git_repository* repository, const std::string& branch) {
  return std::string(git_repository_path(repository)) + "logs/" + branch;
}

// When the log's newest line was written ("OLD NEW name <email> TIME ZONE\t
// why"): the commit's date, so that the same log makes the same commit.
git_time_t newestTime(const std::string& log) {
  const std::size_t end = log.find_last_not_of('\n');
  if (end == std::string::npos) return 0;
  const std::size_t before = log.rfind('\n', end);
  const std::size_t start = before == std::string::npos ? 0 : before + 1;
  const std::string line = log.substr(start, end + 1 - start);
  const std::size_t email = line.rfind('>', line.find('\t'));
  if (email == std::string::npos) return 0;
  return static_cast<git_time_t>(std::strtoll(line.c_str() + email + 1, nullptr, 10));
}

// The history's references, and kRef naming one commit besides, in memory:
// libgit2 pushes only what a reference names. The files' backend answers
// everything else itself (its iterators find it through the database they
// came from, so it cannot be wrapped): only its lookups are taken over, and
// what they need is kept here, by backend.
struct Offered {
  git_oid commit;
  decltype(git_refdb_backend::exists) exists;
  decltype(git_refdb_backend::lookup) lookup;
  decltype(git_refdb_backend::free) free;
};
std::mutex offeredLock;
std::map<git_refdb_backend*, Offered> offered;

Offered offeredTo(git_refdb_backend* backend) {
  std::lock_guard<std::mutex> held(offeredLock);
  return offered.at(backend);
}

void takeOver(git_refdb_backend& files) {
  files.exists = [](int* exists, git_refdb_backend* backend, const char* name) {
    if (std::strcmp(name, kRef) == 0) return (*exists = 1), 0;
    return offeredTo(backend).exists(exists, backend, name);
  };
  files.lookup = [](git_reference** out, git_refdb_backend* backend, const char* name) {
    const Offered offer = offeredTo(backend);
    if (std::strcmp(name, kRef) != 0) return offer.lookup(out, backend, name);
    *out = git_reference__alloc(name, &offer.commit, nullptr);
    return *out != nullptr ? 0 : -1;
  };
  files.free = [](git_refdb_backend* backend) {
    const Offered offer = offeredTo(backend);
    {
      std::lock_guard<std::mutex> held(offeredLock);
      offered.erase(backend);
    }
    offer.free(backend);
  };
}

}  // namespace

Status offer(git_repository* repository, const git_oid& commit) {
  git_refdb_backend* files = nullptr;
  if (git_refdb_backend_fs(&files, repository) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  {
    std::lock_guard<std::mutex> held(offeredLock);
    offered[files] = {commit, files->exists, files->lookup, files->free};
  }
  takeOver(*files);
  git_refdb* refdb = nullptr;
  if (git_refdb_new(&refdb, repository) != 0) {
    files->free(files);
    return gitFailure(_("cannot keep the branch's log"));
  }
  Status set;
  if (git_refdb_set_backend(refdb, files) != 0) {
    files->free(files);
    set = gitFailure(_("cannot keep the branch's log"));
  } else if (git_repository_set_refdb(repository, refdb) != 0) {
    set = gitFailure(_("cannot keep the branch's log"));
  }
  git_refdb_free(refdb);
  return set;
}

Result<std::optional<git_oid>> logCommit(git_repository* repository, const std::string& branch) {
  std::ifstream in(logPath(repository, branch), std::ios::binary);
  if (!in) return std::optional<git_oid>();
  std::ostringstream text;
  text << in.rdbuf();
  const std::string log = lastLines(text.str(), kLinesKept);
  if (log.empty()) return std::optional<git_oid>();

  auto odb = odbOf(repository);
  if (!odb.ok()) return odb.status();
  git_odb_backend* memory = nullptr;
  if (git_mempack_new(&memory) != 0) return gitFailure(_("cannot keep the branch's log"));
  if (git_odb_add_backend(odb->get(), memory, kMemoryPriority) != 0) {
    memory->free(memory);
    return gitFailure(_("cannot keep the branch's log"));
  }
  git_oid blob, tree, commit;
  if (git_blob_create_from_buffer(&blob, repository, log.data(), log.size()) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  git_treebuilder* rawBuilder = nullptr;
  if (git_treebuilder_new(&rawBuilder, repository, nullptr) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  TreeBuilder builder(rawBuilder);
  if (git_treebuilder_insert(nullptr, rawBuilder, kFile, &blob, GIT_FILEMODE_BLOB) != 0 ||
      git_treebuilder_write(&tree, rawBuilder) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  git_tree* rawTree = nullptr;
  if (git_tree_lookup(&rawTree, repository, &tree) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  Tree treeObject(rawTree);
  git_signature* rawSignature = nullptr;
  if (git_signature_new(&rawSignature, "Tarvine", "tarvine@localhost", newestTime(log), 0) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  Signature signature(rawSignature);
  const std::string message = "The log of " + branch + ": where it pointed, oldest first\n";
  if (git_commit_create(&commit, repository, nullptr, signature.get(), signature.get(), nullptr,
                        message.c_str(), rawTree, 0, nullptr) != 0) {
    return gitFailure(_("cannot keep the branch's log"));
  }
  return std::optional<git_oid>(commit);
}

Status restore(git_repository* repository, const std::string& branch, const git_oid& commit) {
  git_commit* rawCommit = nullptr;
  if (git_commit_lookup(&rawCommit, repository, &commit) != 0) {
    return gitFailure(_("cannot read the mirror's log of the branch"), Status::Kind::damaged);
  }
  Commit held(rawCommit);
  git_tree* rawTree = nullptr;
  if (git_commit_tree(&rawTree, rawCommit) != 0) {
    return gitFailure(_("cannot read the mirror's log of the branch"), Status::Kind::damaged);
  }
  Tree tree(rawTree);
  const git_tree_entry* entry = git_tree_entry_byname(rawTree, kFile);
  git_blob* rawBlob = nullptr;
  if (entry == nullptr || git_blob_lookup(&rawBlob, repository, git_tree_entry_id(entry)) != 0) {
    return gitFailure(_("cannot read the mirror's log of the branch"), Status::Kind::damaged);
  }
  Blob blob(rawBlob);
  const std::string mirrored(static_cast<const char*>(git_blob_rawcontent(rawBlob)),
                             static_cast<std::size_t>(git_blob_rawsize(rawBlob)));
  // Only the lines that moved the branch to the snapshot adopted or to one
  // of its ancestors, which the adopted history is known to hold: a disk's
  // copy brings every object the mirror has, a snapshot thinned away
  // included, and a log left behind by a push cut short could name one; a
  // history healed back to it would bring back what was let go. Filtered
  // here, so that the log is never written with lines that name what this
  // store does not hold.
  git_oid tip;
  if (git_reference_name_to_id(&tip, repository, branch.c_str()) != 0) {
    return gitFailure(_("cannot read the newest snapshot"), Status::Kind::damaged);
  }
  std::string log;
  std::istringstream lines(mirrored);
  for (std::string line; std::getline(lines, line);) {
    constexpr std::size_t kHex = GIT_OID_HEXSZ;
    git_oid to;
    if (line.size() <= 2 * kHex + 2 || line[kHex] != ' ' || line[2 * kHex + 1] != ' ' ||
        git_oid_fromstrn(&to, line.data() + kHex + 1, kHex) != 0) {
      continue;
    }
    if (git_oid_equal(&to, &tip) || git_graph_descendant_of(repository, &tip, &to) == 1) {
      log += line + "\n";
    }
  }
  // Before the line of the adoption, which the branch's move wrote: a history
  // whose log named snapshots without a branch would be taken for damaged.
  const std::string path = logPath(repository, branch);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream adoption;
  adoption << in.rdbuf();
  if (Status written = replaceFile(path, log + adoption.str()); !written.ok()) return written;
  // Each line linked to the one before it, as stock git's fsck reads a log.
  return forgetInLogs(repository, branch, {});
}

}  // namespace tarvine::history::mirror::tips
