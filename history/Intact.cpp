#include "history/Intact.h"

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <unordered_set>

#include "history/Commits.h"
#include "history/Durable.h"
#include "history/GitObjects.h"
#include "history/Loose.h"
#include "history/Text.h"

namespace tarvine::history {
namespace {

constexpr std::size_t kSummarised = 3;
// Where objects that cannot be read are moved, out of git's sight: a new
// snapshot of the same content then stores it anew rather than take the
// damaged file for it. Beside them, each damaged newest snapshot set aside is
// named in a file of its own under "tips/" (its log, when the branch went
// with it, under "logs/"): not as a reference, which stock git would find
// pointing at what is missing.
constexpr const char* kDamagedObjects = "tarvine-damaged";
constexpr const char* kDamagedTips = "tarvine-damaged/tips/";
constexpr const char* kDamagedLogs = "tarvine-damaged/logs/";
// Where an earlier version of this engine kept them.
constexpr const char* kFormerDamagedRefs = "refs/tarvine/damaged/";
constexpr const char* kBootId = "/proc/sys/kernel/random/boot_id";

std::string lastError() {
  const git_error* error = git_error_last();
  return error != nullptr ? error->message : _("unknown error");
}

std::string folderNamed(const std::string& path, const git_oid& oid) {
  const std::string id = shortId(hex(oid));
  return path.empty() ? formatted(_("the folder (%s)"), id.c_str())
                      : formatted(_("the folder %s (%s)"), path.c_str(), id.c_str());
}

std::string withCause(const std::string& what, const std::string& why) {
  // TRANSLATORS: a failure or a damaged thing, then its cause.
  return formatted(_("%s: %s"), what.c_str(), why.c_str());
}

struct Walk {
  git_repository* repository;
  git_odb* odb;
  git_odb* hashing;
  std::unordered_set<std::string> seen;
  Damage damage;

  // A commit or a tree is read whole by this engine first: libgit2 would
  // never return from one cut short.
  bool whole(const git_oid& id, git_object_t type, const std::string& what) {
    auto loose = verifyLoose(repository, hashing, id, type);
    if (!loose || loose->empty()) return true;
    damage.objects.push_back({id, withCause(what, *loose)});
    return false;
  }

  bool first(const git_oid& oid) {
    return seen.insert(std::string(reinterpret_cast<const char*>(oid.id), GIT_OID_RAWSZ)).second;
  }

  void tree(const git_oid& id, const std::string& path) {
    if (!first(id)) return;
    if (!whole(id, GIT_OBJECT_TREE, folderNamed(path, id))) return;
    git_tree* raw = nullptr;
    if (git_tree_lookup(&raw, repository, &id) != 0) {
      damage.objects.push_back({id, withCause(folderNamed(path, id), lastError())});
      return;
    }
    Tree owner(raw);
    for (std::size_t i = 0, count = git_tree_entrycount(raw); i < count; ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
      const git_oid& oid = *git_tree_entry_id(entry);
      const std::string below =
          path.empty() ? git_tree_entry_name(entry) : path + "/" + git_tree_entry_name(entry);
      if (git_tree_entry_type(entry) == GIT_OBJECT_TREE) {
        tree(oid, below);
      } else if (git_tree_entry_type(entry) == GIT_OBJECT_BLOB && first(oid)) {
        size_t size = 0;
        git_object_t type;
        if (git_odb_read_header(&size, &type, odb, &oid) != 0) {
          damage.objects.push_back({oid, withCause(formatted(_("the file %s (%s)"), below.c_str(),
                                                             shortId(hex(oid)).c_str()),
                                                   lastError())});
        }
      }
    }
  }
};

std::string bootId() {
  std::ifstream in(kBootId);
  std::string id;
  std::getline(in, id);
  return id;
}

std::string intactTipFile(git_repository* repository) {
  return std::string(git_repository_path(repository)) + std::string(History::intactTipName);
}

// A name under `folder` (relative to the history) that no other holds: the
// time, in UTC.
std::string damagedName(git_repository* repository, const char* folder) {
  char stamp[32];
  std::tm parts{};
  const std::time_t now = std::time(nullptr);
  ::gmtime_r(&now, &parts);
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &parts);
  const std::string gitDir = git_repository_path(repository);
  std::string name = folder + std::string(stamp);
  for (int n = 2; ::access((gitDir + name).c_str(), F_OK) == 0; ++n) {
    name = folder + std::string(stamp) + "-" + std::to_string(n);
  }
  return name;
}

// The damaged snapshot `tip` named in a file of its own under `kDamagedTips`;
// its name, relative to the history.
Result<std::string> keepAside(git_repository* repository, const git_oid& tip) {
  const std::string gitDir = git_repository_path(repository);
  if (Status made = makeFolders(gitDir + kDamagedTips); !made.ok()) return made;
  const std::string name = damagedName(repository, kDamagedTips);
  if (Status kept = replaceFile(gitDir + name, hex(tip) + "\n"); !kept.ok()) return kept;
  return name;
}

void moveAside(git_repository* repository, const Damage& damage) {
  const std::string folder = std::string(git_repository_path(repository)) + kDamagedObjects;
  for (const Damage::Object& object : damage.objects) {
    const std::string path = looseObjectPath(repository, object.id);
    if (::access(path.c_str(), F_OK) != 0) continue;
    if (!makeFolders(folder).ok()) return;
    // Dropped failures only leave the file where it was, as before.
    (void)::rename(path.c_str(), (folder + "/" + hex(object.id)).c_str());
  }
}

// The branch set aside and brought back to the newest intact snapshot of its
// log, or removed when there is none, so that the next snapshot starts anew.
Result<Tip> heal(git_repository* repository, const std::string& branch,
                 const std::optional<git_oid>& damaged, const Damage& damage,
                 const std::string& why, const std::string& statCache) {
  Healed healed{damaged ? hex(*damaged) : "", "", "", why};
  moveAside(repository, damage);
  std::optional<git_oid> intact;
  std::vector<git_oid> gone;
  if (damaged) gone.push_back(*damaged);
  for (const git_oid& candidate : formerTips(repository, branch)) {
    if (damaged && git_oid_equal(&candidate, &*damaged)) continue;
    const Damage found = damageOf(repository, candidate);
    if (!found.any()) {
      intact = candidate;
      break;
    }
    gone.push_back(candidate);
    moveAside(repository, found);
  }
  if (damaged) {
    auto kept = keepAside(repository, *damaged);
    if (!kept.ok()) return kept.status();
    healed.keptAs = *kept;
  }
  const std::string gitDir = git_repository_path(repository);
  if (intact) {
    if (Status moved = setReference(repository, branch, damaged ? &*damaged : nullptr, *intact,
                                    "tarvine: back to the newest intact snapshot", true);
        !moved.ok()) {
      return moved;
    }
    healed.tip = hex(*intact);
    if (Status forgotten = forgetInLogs(repository, branch, gone); !forgotten.ok()) {
      return forgotten;
    }
  } else {
    if (git_reference_remove(repository, branch.c_str()) != 0) {
      return gitFailure(_("cannot remove the damaged branch"), Status::Kind::damaged);
    }
    // Its log goes with the snapshot set aside; the branch starts anew.
    if (Status made = makeFolders(gitDir + kDamagedLogs); !made.ok()) return made;
    const std::string asideLog = gitDir + damagedName(repository, kDamagedLogs);
    (void)::rename((gitDir + "logs/" + branch).c_str(),
                   asideLog.c_str());  // absent: nothing to move
    if (Status synced = syncPath(gitDir + kDamagedLogs); !synced.ok()) return synced;
    const std::string logs = gitDir + "logs/" + branch;
    if (Status synced = syncPath(logs.substr(0, logs.find_last_of('/'))); !synced.ok()) {
      return synced;
    }
    if (Status forgotten = forgetInLogs(repository, branch, gone); !forgotten.ok()) {
      return forgotten;
    }
  }
  // The cache may vouch for files of the snapshot set aside, which are lost.
  ::unlink(statCache.c_str());
  ::unlink((statCache + "-journal").c_str());  // never rolled into a new one
  if (intact) vouchFor(repository, healed.tip);
  return Tip{healed.tip, healed};
}

// Damaged snapshots an earlier version of this engine set aside as
// references are named in files instead, and their logs moved beside them;
// the branch's log forgets what they held.
Status moveFormerRefs(git_repository* repository, const std::string& branch) {
  const std::string gitDir = git_repository_path(repository);
  const std::string formerLogs = gitDir + "logs/" + kFormerDamagedRefs;
  git_reference_iterator* iterator = nullptr;
  if (git_reference_iterator_glob_new(&iterator, repository,
                                      (std::string(kFormerDamagedRefs) + "*").c_str()) != 0) {
    return Status();
  }
  std::vector<std::pair<std::string, git_oid>> former;
  for (git_reference* reference = nullptr; git_reference_next(&reference, iterator) == 0;) {
    if (const git_oid* target = git_reference_target(reference)) {
      former.emplace_back(git_reference_name(reference), *target);
    }
    git_reference_free(reference);
  }
  git_reference_iterator_free(iterator);
  if (former.empty() && ::access(formerLogs.c_str(), F_OK) != 0) return Status();
  for (const auto& [name, tip] : former) {
    if (auto kept = keepAside(repository, tip); !kept.ok()) return kept.status();
  }
  // Logs of the branch moved aside with no reference of their own, too.
  if (DIR* folder = ::opendir(formerLogs.c_str())) {
    if (Status made = makeFolders(gitDir + kDamagedLogs); !made.ok()) {
      ::closedir(folder);
      return made;
    }
    while (const dirent* entry = ::readdir(folder)) {
      if (entry->d_name[0] == '.') continue;
      (void)::rename((formerLogs + entry->d_name).c_str(),
                     (gitDir + kDamagedLogs + entry->d_name).c_str());
    }
    ::closedir(folder);
    if (Status synced = syncPath(gitDir + kDamagedLogs); !synced.ok()) return synced;
  }
  for (const auto& [name, tip] : former) {
    git_reference* reference = nullptr;
    if (git_reference_lookup(&reference, repository, name.c_str()) == 0) {
      const int removed = git_reference_delete(reference);
      git_reference_free(reference);
      if (removed != 0) {
        return gitFailure(formatted(_("cannot move %s"), name.c_str()), Status::Kind::damaged);
      }
    }
  }
  return forgetInLogs(repository, branch, {});
}

}  // namespace

std::vector<std::string> keptAside(git_repository* repository) {
  std::vector<std::string> names;
  const std::string gitDir = git_repository_path(repository);
  if (DIR* folder = ::opendir((gitDir + kDamagedTips).c_str())) {
    while (const dirent* entry = ::readdir(folder)) {
      const std::string name = entry->d_name;
      // A ".lock" is a record a power cut left unfinished.
      if (name[0] == '.' || name.find('.') != std::string::npos) continue;
      names.push_back(kDamagedTips + name);
    }
    ::closedir(folder);
  }
  git_reference_iterator* iterator = nullptr;
  if (git_reference_iterator_glob_new(&iterator, repository,
                                      (std::string(kFormerDamagedRefs) + "*").c_str()) == 0) {
    for (const char* name = nullptr; git_reference_next_name(&name, iterator) == 0;) {
      names.push_back(name);
    }
    git_reference_iterator_free(iterator);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Damage::summary() const {
  std::string text;
  for (std::size_t i = 0; i < objects.size() && i < kSummarised; ++i) {
    text += (i == 0 ? "" : "; ") + objects[i].what;
  }
  if (objects.size() > kSummarised) {
    const auto more = static_cast<unsigned long>(objects.size() - kSummarised);
    text += formatted(ngettext("; and %lu more", "; and %lu more", more), more);
  }
  return text;
}

Damage damageOf(git_repository* repository, const git_oid& commit) {
  Walk walk{repository, nullptr, nullptr, {}, {}};
  auto odb = odbOf(repository);
  auto hashing = hashingOdb();
  if (!odb.ok() || !hashing.ok()) {
    walk.damage.objects.push_back({commit, (odb.ok() ? hashing.status() : odb.status()).message()});
    return walk.damage;
  }
  walk.odb = odb->get();
  walk.hashing = hashing->get();
  const std::string snapshot = formatted(_("the snapshot (%s)"), shortId(hex(commit)).c_str());
  if (!walk.whole(commit, GIT_OBJECT_COMMIT, snapshot)) {
    return walk.damage;
  }
  git_commit* raw = nullptr;
  if (git_commit_lookup(&raw, repository, &commit) != 0) {
    walk.damage.objects.push_back({commit, withCause(snapshot, lastError())});
    return walk.damage;
  }
  Commit owner(raw);
  walk.tree(*git_commit_tree_id(raw), "");
  return walk.damage;
}

bool vouchedFor(git_repository* repository, const std::string& tip) {
  const std::string boot = bootId();
  std::ifstream in(intactTipFile(repository));
  std::string line;
  std::getline(in, line);
  return !boot.empty() && line == boot + " " + tip;
}

void vouchFor(git_repository* repository, const std::string& tip) {
  const std::string boot = bootId();
  if (boot.empty()) return;
  // Not synced: lost or stale, it only costs reading the snapshot again.
  std::string temporary = intactTipFile(repository) + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return;
  const std::string line = boot + " " + tip + "\n";
  const bool wrote = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  if (::close(fd) == 0 && wrote &&
      ::rename(temporary.c_str(), intactTipFile(repository).c_str()) == 0) {
    return;
  }
  ::unlink(temporary.c_str());
}

Result<Tip> examineTip(git_repository* repository, History::Opening opening,
                       const std::string& statCache) {
  auto branch = branchName(repository);
  if (!branch.ok()) return branch.status();
  if (opening == History::Opening::writing) {
    if (Status moved = moveFormerRefs(repository, *branch); !moved.ok()) return moved;
  }
  git_oid tip;
  std::optional<git_oid> named;
  std::string why;
  if (const int error = git_reference_name_to_id(&tip, repository, branch->c_str()); error == 0) {
    named = tip;
  } else {
    why = formatted(_("the branch %s cannot be read: %s"), branch->c_str(), lastError().c_str());
    const std::string log = std::string(git_repository_path(repository)) + "logs/" + *branch;
    std::ifstream in(log);
    if (error == GIT_ENOTFOUND && in.peek() == std::ifstream::traits_type::eof()) {
      return Tip{};  // no snapshot yet
    }
  }
  Damage damage;
  if (named) {
    const std::string id = hex(tip);
    if (vouchedFor(repository, id)) return Tip{id, std::nullopt};
    damage = damageOf(repository, tip);
    if (!damage.any()) {
      if (opening != History::Opening::checking) vouchFor(repository, id);
      return Tip{id, std::nullopt};
    }
    why = formatted(_("the newest snapshot %s cannot be read whole: %s"), shortId(id).c_str(),
                    damage.summary().c_str());
  }
  switch (opening) {
    case History::Opening::checking:
      return Tip{};
    case History::Opening::reading:
      return Status::failure(Status::Kind::damaged, why, EIO);
    case History::Opening::writing:
      break;
  }
  return heal(repository, *branch, named, damage, why, statCache);
}

}  // namespace tarvine::history
