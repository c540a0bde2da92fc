// Mirrors: pushing a history to another repository, and fetching it back.
#include "history/Mirror.h"

#include <fcntl.h>
#include <git2.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "history/Chunks.h"
#include "history/Commits.h"
#include "history/Durable.h"
#include "history/GitObjects.h"
#include "history/MemoryConfig.h"
#include "history/MirrorSsh.h"
#include "history/MirrorTips.h"
#include "history/MirrorWire.h"
#include "history/PackReuse.h"
#include "history/StatCache.h"
#include "history/StoredNames.h"
#include "history/Text.h"
#include "history/Thinning.h"

namespace tarvine::history::mirror {
namespace {

constexpr std::string_view kSection = "tarvine-mirror.";
// The mirrors' record, in git's config format, in the history's folder.
constexpr std::string_view kRecordFile = "tarvine-mirrors";
// Where a fetch puts the mirror's branch before the history's own branch is
// moved to it durably, with its log.
constexpr const char* kAdopting = "refs/tarvine/adopting";
// And the mirror's copy of the branch's log, fetched from a server.
constexpr const char* kAdoptingTips = "refs/tarvine/adopting-tips";

using Repository = std::unique_ptr<git_repository, Freer<git_repository, git_repository_free>>;
using Remote = std::unique_ptr<git_remote, Freer<git_remote, git_remote_free>>;
using Config = std::unique_ptr<git_config, Freer<git_config, git_config_free>>;

Result<Repository> openStore(const std::string& store) {
  git_libgit2_init();
  git_repository* raw = nullptr;
  if (git_repository_open_ext(&raw, store.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
    return gitFailure(formatted(_("cannot open the history %s"), store.c_str()),
                      Status::Kind::damaged);
  }
  return Repository(raw);
}

std::string recordPath(git_repository* repository) {
  return std::string(git_repository_path(repository)) + std::string(kRecordFile);
}

Result<Config> configOf(git_repository* repository) {
  git_config* raw = nullptr;
  if (git_config_open_ondisk(&raw, recordPath(repository).c_str()) != 0) {
    return gitFailure(_("cannot read the history's mirrors"));
  }
  return Config(raw);
}

// Held while a mirror of the history is added, removed, pushed or fetched
// from: one at a time, whichever program asks.
class MirrorLock {
 public:
  static Result<MirrorLock> take(git_repository* repository) {
    const std::string path = std::string(git_repository_path(repository)) + "tarvine-mirrors.flock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return systemFailure(_("cannot lock the history's mirrors"));
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        Status failed = systemFailure(_("cannot lock the history's mirrors"));
        ::close(fd);
        return failed;
      }
    }
    return MirrorLock(fd);
  }
  MirrorLock(MirrorLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  MirrorLock& operator=(MirrorLock&&) = delete;
  ~MirrorLock() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  explicit MirrorLock(int fd) : fd_(fd) {}
  int fd_;
};

std::string key(const std::string& url, const char* name) {
  return std::string(kSection) + url + "." + name;
}

std::string stringAt(git_config* config, const std::string& name) {
  git_buf value = GIT_BUF_INIT;
  if (git_config_get_string_buf(&value, config, name.c_str()) != 0) return {};
  std::string text(value.ptr, value.size);
  git_buf_dispose(&value);
  return text;
}

std::int64_t numberAt(git_config* config, const std::string& name) {
  std::int64_t value = 0;
  return git_config_get_int64(&value, config, name.c_str()) == 0 ? value : 0;
}

// The mirrors' record made durable: libgit2 renames it into place without
// syncing it.
Status syncConfig(git_repository* repository) {
  if (Status synced = syncPath(recordPath(repository)); !synced.ok()) return synced;
  return syncPath(git_repository_path(repository));
}

Status setEntries(git_repository* repository, const std::string& url,
                  const std::vector<std::pair<const char*, std::string>>& strings,
                  const std::vector<const char*>& dropped = {}) {
  // Written under the mirrors' lock alone: a lock file of libgit2's found
  // here was left by a writer that was killed.
  (void)::unlink((recordPath(repository) + ".lock").c_str());
  auto config = configOf(repository);
  if (!config.ok()) return config.status();
  for (const auto& [name, value] : strings) {
    if (git_config_set_string(config->get(), key(url, name).c_str(), value.c_str()) != 0) {
      return gitFailure(formatted(_("cannot record the mirror %s"), url.c_str()));
    }
  }
  for (const char* name : dropped)
    (void)git_config_delete_entry(config->get(), key(url, name).c_str());
  return syncConfig(repository);
}

bool known(git_config* config, const std::string& url) {
  return !stringAt(config, key(url, "url")).empty();
}

// A failed push is counted in the mirror's record, for the status people see.
Status counted(git_repository* repository, const std::string& url, Status failure) {
  auto config = configOf(repository);
  if (config.ok()) {
    const std::int64_t failures = numberAt(config->get(), key(url, "failures")) + 1;
    (void)setEntries(repository, url,
                     {{"failures", std::to_string(failures)}, {"lastFailure", failure.message()}});
  }
  return failure;
}

std::optional<git_oid> parsedId(const std::string& text) {
  git_oid oid;
  if (text.size() != GIT_OID_HEXSZ || git_oid_fromstr(&oid, text.c_str()) != 0) return std::nullopt;
  return oid;
}

// Snapshots along the branch from `tip` until `until` (not counted); all of
// them when `until` is not met.
std::size_t countUntil(git_repository* repository, const git_oid& tip,
                       const std::optional<git_oid>& until) {
  git_revwalk* raw = nullptr;
  if (git_revwalk_new(&raw, repository) != 0) return 0;
  std::unique_ptr<git_revwalk, Freer<git_revwalk, git_revwalk_free>> walk(raw);
  git_revwalk_simplify_first_parent(raw);
  if (git_revwalk_push(raw, &tip) != 0) return 0;
  std::size_t count = 0;
  git_oid oid;
  while (git_revwalk_next(&oid, raw) == 0) {
    if (until && git_oid_equal(&oid, &*until)) break;
    ++count;
  }
  return count;
}

std::optional<git_oid> localTip(git_repository* repository, const std::string& branch) {
  git_oid oid;
  if (git_reference_name_to_id(&oid, repository, branch.c_str()) != 0) return std::nullopt;
  return oid;
}

Result<std::vector<std::string>> localPins(git_repository* repository) {
  std::vector<std::string> names;
  git_reference_iterator* raw = nullptr;
  const std::string glob = std::string(kPinnedRefs) + "*";
  if (git_reference_iterator_glob_new(&raw, repository, glob.c_str()) != 0) {
    return gitFailure(_("cannot list the pinned versions"));
  }
  std::unique_ptr<git_reference_iterator,
                  Freer<git_reference_iterator, git_reference_iterator_free>>
      iterator(raw);
  const char* name = nullptr;
  while (git_reference_next_name(&name, raw) == 0) names.emplace_back(name);
  return names;
}

// The update that brings the mirror's copy of the branch's log
// (history/MirrorTips.h) up to date. The log follows the branch: it is asked
// for once the mirror's branch has been found to be this history's (absent,
// the same, an older snapshot of it, or what this history last sent), so a
// mirror removed and added again, whose log was sent before it was recorded,
// is brought up to date rather than refused for good. No refspec when the
// mirror has this log already.
struct TipsUpdate {
  std::string refspec;
  git_oid made{};
  std::optional<git_oid> there;
};
Result<TipsUpdate> tipsUpdate(git_repository* repository, const std::string& branch,
                              const std::map<std::string, git_oid>& refs) {
  TipsUpdate update;
  auto made = tips::logCommit(repository, branch);
  if (!made.ok()) return made.status();
  if (!*made) return update;
  update.made = **made;
  const auto there = refs.find(tips::kRef);
  if (there != refs.end()) {
    if (git_oid_equal(&there->second, &update.made)) return update;
    update.there = there->second;
  }
  if (Status offered = tips::offer(repository, update.made); !offered.ok()) return offered;
  update.refspec = std::string(update.there ? "+" : "") + tips::kRef + ":" + tips::kRef;
  return update;
}

// The mirror's repository as a remote; a local one must be there (made when
// it was added): a path that is gone is a disk that is not mounted.
Result<Remote> remoteFor(git_repository* repository, const std::string& url) {
  if (isLocal(url)) {
    git_repository* raw = nullptr;
    const std::string path = localPath(url);
    if (git_repository_open_ext(&raw, path.c_str(),
                                GIT_REPOSITORY_OPEN_NO_SEARCH | GIT_REPOSITORY_OPEN_BARE,
                                nullptr) != 0) {
      return Status::failure(
          Status::Kind::unavailable,
          formatted(_("the mirror %s is not there (is its disk mounted?)"), path.c_str()), ENOENT);
    }
    git_repository_free(raw);
    // A mirror on a disk is written by this history's one writer alone
    // (under the container's lock): the lock files of the references it
    // pushes that are found there were left by a push that was killed, and
    // would refuse every push after it.
    std::error_code ignored;
    for (auto entry = std::filesystem::recursive_directory_iterator(path + "/refs", ignored);
         !ignored && entry != std::filesystem::recursive_directory_iterator();
         entry.increment(ignored)) {
      if (entry->path().extension() == ".lock") std::filesystem::remove(entry->path(), ignored);
    }
    std::filesystem::remove(path + "/packed-refs.lock", ignored);
  }
  // Anonymous, and without the user's url.*.insteadOf rewrites: the mirror is
  // the address given. (Looking those up, libgit2 1.5 leaks PCRE2's match
  // data for every setting it tests, at every push of a long-running app.)
  git_remote_create_options options = GIT_REMOTE_CREATE_OPTIONS_INIT;
  options.repository = repository;
  options.flags = GIT_REMOTE_CREATE_SKIP_INSTEADOF;
  git_remote* raw = nullptr;
  if (git_remote_create_with_opts(&raw, url.c_str(), &options) != 0) {
    return gitFailure(formatted(_("cannot reach the mirror %s"), url.c_str()),
                      Status::Kind::invalid);
  }
  return Remote(raw);
}

// The push's pack is made by libgit2's pack builder, which reuses nothing
// from the history's packs: every object is searched for a delta against the
// ten before it (sorted by name and size), and that search was most of a
// first push's time. The versions of one file are sorted next to each other,
// largest first, and they are where deltas pay; so each object is tried
// against the one before it alone, by a window that holds a byte: libgit2
// keeps one object in it however small the limit. Given to `repository` (this
// process's handle alone; nothing is written) over the history's config.
// Without it a push is slower, not wrong.
void searchDeltasNextToEachOther(git_repository* repository) {
  git_config* raw = nullptr;
  if (git_repository_config(&raw, repository) != 0) return;
  Config config(raw);
  (void)addMemorySettings(raw, {{"pack.windowmemory", "1"}}, repository);
}

struct Callbacks {
  const std::function<void(const Progress&)>* progress = nullptr;
  std::map<std::string, std::string> rejected;  // reference: why
  ssh::Session ssh;
  const std::atomic<bool>* stop = nullptr;
  bool stopped() const { return stop != nullptr && stop->load(); }
  std::string serverFailure;  // the first failure the server said it met, in its own words
  git_smart_subtransport* subtransport = nullptr;  // the SSH part of a push written here
};

// Keeps the first failure among what the server's git says beside the data.
void noteServerWords(Callbacks& state, std::string_view said) {
  for (const std::string_view mark : {"fatal: ", "error: "}) {
    const size_t at = said.find(mark);
    if (state.serverFailure.empty() && at != std::string_view::npos) {
      state.serverFailure = said.substr(at, said.find_first_of("\r\n", at) - at);
    }
  }
}

// A failure to reach the mirror; a host key refused says why, as it is the
// user's to settle.
Status unreachable(const Callbacks& state, const std::string& what) {
  if (!state.ssh.refusal.empty()) return Status::failure(Status::Kind::refused, state.ssh.refusal);
  return gitFailure(what, Status::Kind::unavailable);
}

git_remote_callbacks callbacksFor(Callbacks& state) {
  git_remote_callbacks callbacks = GIT_REMOTE_CALLBACKS_INIT;
  callbacks.payload = &state;
  callbacks.push_transfer_progress = [](unsigned current, unsigned total, size_t bytes,
                                        void* payload) {
    auto& state = *static_cast<Callbacks*>(payload);
    if (state.progress != nullptr && *state.progress) (*state.progress)({current, total, bytes});
    return state.stopped() ? -1 : 0;
  };
  callbacks.transfer_progress = [](const git_indexer_progress* stats, void* payload) {
    auto& state = *static_cast<Callbacks*>(payload);
    if (state.progress != nullptr && *state.progress) {
      (*state.progress)({stats->received_objects, stats->total_objects, stats->received_bytes});
    }
    return state.stopped() ? -1 : 0;
  };
  callbacks.credentials = [](git_credential** out, const char* url, const char* user,
                             unsigned allowed, void* payload) {
    return ssh::credentials(out, url, user, allowed, static_cast<Callbacks*>(payload)->ssh);
  };
  callbacks.certificate_check = [](git_cert* cert, int valid, const char* host, void* payload) {
    return ssh::certificate(cert, valid, host, static_cast<Callbacks*>(payload)->ssh);
  };
  // What the server's git says beside the data; its failure (an object it
  // cannot read) is kept, as the connection then ends as a broken one does.
  callbacks.sideband_progress = [](const char* text, int length, void* payload) {
    auto& state = *static_cast<Callbacks*>(payload);
    noteServerWords(state, std::string_view(text, static_cast<size_t>(std::max(length, 0))));
    return state.stopped() ? -1 : 0;
  };
  callbacks.push_update_reference = [](const char* name, const char* status, void* payload) {
    if (status != nullptr) static_cast<Callbacks*>(payload)->rejected[name] = status;
    return 0;
  };
  return callbacks;
}

// The mirror's references and what they name; through `transport` when
// given, libgit2's own for the address otherwise.
Result<std::map<std::string, git_oid>> remoteRefs(git_remote* remote, git_direction direction,
                                                  Callbacks& state,
                                                  git_transport_cb transport = nullptr) {
  git_remote_callbacks callbacks = callbacksFor(state);
  callbacks.transport = transport;
  state.ssh.address = ssh::parse(git_remote_url(remote)).value_or(ssh::Address{});
  if (git_remote_connect(remote, direction, &callbacks, nullptr, nullptr) != 0) {
    return unreachable(state, formatted(_("cannot reach the mirror %s"), git_remote_url(remote)));
  }
  const git_remote_head** heads = nullptr;
  size_t count = 0;
  if (git_remote_ls(&heads, &count, remote) != 0) {
    return gitFailure(formatted(_("cannot list the mirror %s"), git_remote_url(remote)),
                      Status::Kind::unavailable);
  }
  std::map<std::string, git_oid> refs;
  for (size_t i = 0; i < count; ++i) refs[heads[i]->name] = heads[i]->oid;
  return refs;
}

// Whether a mirror's references name nothing (an empty repository lists
// one, naming nothing, for its capabilities).
bool holdsNothing(const std::map<std::string, git_oid>& refs) {
  return std::all_of(refs.begin(), refs.end(),
                     [](const auto& ref) { return git_oid_is_zero(&ref.second); });
}

// A first push over SSH (the mirror has no reference yet) of a history
// that is mostly packed: the pack is written from the history's packs as
// they hold it, where libgit2 would read, compress and hash every object
// again. `updates` are the push's refspecs; nullopt when this way does not
// apply, and libgit2's push is the one to make.
std::optional<Status> pushFromPacks(git_repository* repository, const std::string& url,
                                    const std::vector<std::string>& updates, Callbacks& state) {
  if (!ssh::parse(url)) return std::nullopt;
  std::vector<wire::Creation> creations;
  std::vector<git_oid> roots;
  for (std::string_view update : updates) {
    if (update.starts_with('+')) update.remove_prefix(1);
    const std::size_t colon = update.find(':');
    if (colon == 0 || colon == std::string_view::npos) return std::nullopt;  // a deletion
    git_oid id;
    const std::string source(update.substr(0, colon));
    if (git_reference_name_to_id(&id, repository, source.c_str()) != 0) {
      return gitFailure(formatted(_("cannot read the reference %s"), source.c_str()),
                        Status::Kind::damaged);
    }
    creations.push_back({std::string(update.substr(colon + 1)), id});
    roots.push_back(id);
  }
  auto pack = ReusedPack::plan(repository, roots);
  if (!pack.ok()) return pack.status();
  // Mostly loose (not packed since its first snapshots), libgit2's pack is
  // made as fast and finds the deltas between versions of a file.
  if (pack->loose() * 2 > pack->objects()) return std::nullopt;

  // A remote of its own: libgit2 keeps a remote's first transport.
  auto fresh = remoteFor(repository, url);
  if (!fresh.ok()) return fresh.status();
  struct Disconnect {
    void operator()(git_remote* connected) const { git_remote_disconnect(connected); }
  };
  const std::unique_ptr<git_remote, Disconnect> connection(fresh->get());
  state.ssh.attempt = 0;
  state.subtransport = nullptr;
  auto there = remoteRefs(fresh->get(), GIT_DIRECTION_PUSH, state,
                          [](git_transport** out, git_remote* owner, void* payload) {
                            return wire::sshTransport(
                                out, owner, &static_cast<Callbacks*>(payload)->subtransport);
                          });
  if (!there.ok()) return there.status();
  // Something arrived there since it was listed: libgit2's push, which
  // sends only what it lacks and refuses to overwrite what it did not send.
  if (!holdsNothing(*there)) return std::nullopt;
  std::size_t bytes = 0;
  const auto write = [&](const std::function<Status(std::string_view)>& sink) {
    const auto counted = [&](std::string_view piece) {
      bytes += piece.size();
      return sink(piece);
    };
    return pack->write(repository, counted, [&](std::size_t written, std::size_t all) {
      if (state.progress != nullptr && *state.progress) (*state.progress)({written, all, bytes});
      return !state.stopped();
    });
  };
  return wire::send(
      state.subtransport, url, creations, write,
      [&](std::string_view words) { noteServerWords(state, words); }, state.rejected);
}

// Copies the object files (packs with their indexes, loose objects) under
// `from` that `to` lacks, each written beside under a temporary name, made
// read-only and the owner's alone, then renamed into place: a copy cut short
// leaves no part of a file under an object's name.
Status copyObjects(const std::string& from, const std::string& to) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (auto entry = fs::recursive_directory_iterator(from, error);
       !error && entry != fs::recursive_directory_iterator(); entry.increment(error)) {
    if (!entry->is_regular_file()) continue;
    const fs::path relative = fs::relative(entry->path(), from);
    const std::string folder = relative.parent_path().string();
    const std::string name = relative.filename().string();
    const bool pack =
        folder == "pack" && name.rfind("pack-", 0) == 0 && name.find(".tmp") == std::string::npos;
    const bool loose = folder.size() == 2 && name.size() == GIT_OID_HEXSZ - 2 &&
                       folder.find_first_not_of("0123456789abcdef") == std::string::npos;
    if (!pack && !loose) continue;
    const fs::path target = fs::path(to) / relative;
    if (fs::exists(target)) continue;
    fs::create_directories(target.parent_path(), error);
    const fs::path beside = target.string() + ".tarvine-copy";
    fs::remove(beside, error);
    if (!fs::copy_file(entry->path(), beside, error)) {
      return Status::error(
          formatted(_("cannot copy %s: %s"), entry->path().c_str(), error.message().c_str()),
          error.value());
    }
    fs::permissions(beside, fs::perms::owner_read, error);
    fs::rename(beside, target, error);
    if (error) {
      return Status::error(
          formatted(_("cannot copy %s: %s"), entry->path().c_str(), error.message().c_str()),
          error.value());
    }
  }
  if (error) {
    return Status::error(formatted(_("cannot read %s: %s"), from.c_str(), error.message().c_str()),
                         error.value());
  }
  return Status();
}

std::int64_t now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// The mirror's copy of the branch's log, fetched with the branch, made the
// log of the branch it is adopted into, so that a damaged newest snapshot can
// be set back to a former one here too.
Status adoptTips(git_repository* repository, const std::string& branch,
                 const std::map<std::string, git_oid>& refs) {
  const auto there = refs.find(tips::kRef);
  if (there == refs.end()) return Status();
  // A log that cannot be read leaves the branch with its adoption alone in
  // its log, as a mirror without one does: the snapshots themselves are whole.
  (void)tips::restore(repository, branch, there->second);
  git_reference* fetched = nullptr;
  if (git_reference_lookup(&fetched, repository, kAdoptingTips) == 0) {
    (void)git_reference_delete(fetched);
    git_reference_free(fetched);
  }
  return Status();
}

// A folder in the history's own, for a server's mirror fetched whole to be
// checked, removed with this. One that a check killed midway left is
// removed by the next check.
class Scratch {
 public:
  static constexpr std::string_view kPrefix = "tarvine-check-";

  static Result<std::unique_ptr<Scratch>> make(const std::string& store) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(store, ignored)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind(kPrefix, 0) != 0) continue;
      const long pid = std::strtol(name.c_str() + kPrefix.size(), nullptr, 10);
      if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        fs::remove_all(entry.path(), ignored);
      }
    }
    std::string pattern =
        store + "/" + std::string(kPrefix) + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      return systemFailure(
          formatted(_("cannot make a folder to check the mirror in %s"), store.c_str()));
    }
    return std::unique_ptr<Scratch>(new Scratch(pattern));
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }

 private:
  explicit Scratch(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

struct ServerCopy {
  std::unique_ptr<Scratch> scratch;
  std::string problem;  // why the mirror could not be fetched whole, once reached
};
// Every reference of the server's mirror `url` and the objects they reach,
// fetched into a bare repository of its own (its HEAD naming the branch the
// mirror's names), for a check to read as a disk mirror's. A server that
// cannot be reached, or whose connection fails midway, is a failure; one that
// sends bad data, or says it cannot send everything, is a problem of the
// mirror's.
Result<ServerCopy> serverCopy(git_repository* repository, const std::string& url,
                              const std::atomic<bool>* stop) {
  ServerCopy copy;
  auto scratch = Scratch::make(git_repository_path(repository));
  if (!scratch.ok()) return scratch.status();
  copy.scratch = std::move(*scratch);
  git_repository_init_options init = GIT_REPOSITORY_INIT_OPTIONS_INIT;
  init.flags = GIT_REPOSITORY_INIT_BARE;
  git_repository* raw = nullptr;
  if (git_repository_init_ext(&raw, copy.scratch->path().c_str(), &init) != 0) {
    return gitFailure(formatted(_("cannot make a folder to check the mirror in %s"),
                                copy.scratch->path().c_str()));
  }
  Repository fetched(raw);
  auto remote = remoteFor(raw, url);
  if (!remote.ok()) return remote.status();
  Callbacks state;
  state.stop = stop;
  auto refs = remoteRefs(remote->get(), GIT_DIRECTION_FETCH, state);
  if (!refs.ok()) return refs.status();
  git_buf head = GIT_BUF_INIT;
  if (git_remote_default_branch(&head, remote->get()) == 0) {
    (void)git_repository_set_head(raw, head.ptr);  // none: the walk says the branch is missing
    git_buf_dispose(&head);
  } else if (auto branch = branchName(repository); branch.ok()) {
    (void)git_repository_set_head(raw, branch->c_str());
  }
  git_remote_disconnect(remote->get());
  std::string everything = "+refs/*:refs/*";
  char* wanted[] = {everything.data()};
  git_strarray array{wanted, 1};
  git_fetch_options options = GIT_FETCH_OPTIONS_INIT;
  options.callbacks = callbacksFor(state);
  options.download_tags = GIT_REMOTE_DOWNLOAD_TAGS_NONE;
  state.ssh.attempt = 0;  // a connection of its own: every key may be tried again
  if (git_remote_fetch(remote->get(), &array, &options, nullptr) != 0) {
    if (!state.ssh.refusal.empty()) {
      return Status::failure(Status::Kind::refused, state.ssh.refusal);
    }
    if (state.stopped()) return Status::failure(Status::Kind::failed, _("stopped"));
    const git_error* error = git_error_last();
    const int kind = error != nullptr ? error->klass : GIT_ERROR_NONE;
    // Bad data found in what was received, or a failure the server said it
    // met, is the mirror's. Anything else (the connection broken off or timed
    // out, the disk here full) kept it from being read, as an unreachable
    // server does: the mirror may well be whole.
    const bool bad = kind == GIT_ERROR_INDEXER || kind == GIT_ERROR_ODB ||
                     kind == GIT_ERROR_OBJECT || kind == GIT_ERROR_ZLIB || kind == GIT_ERROR_SHA ||
                     kind == GIT_ERROR_REFERENCE || !state.serverFailure.empty();
    if (!bad) {
      return gitFailure(formatted(_("the mirror %s could not be read whole"), url.c_str()),
                        Status::Kind::unavailable);
    }
    copy.problem =
        formatted(_("the mirror could not send all it holds: %s"),
                  !state.serverFailure.empty() ? state.serverFailure.c_str()
                                               : (error != nullptr ? error->message : ""));
  }
  return copy;
}

// The cache's rows for the folder `relative` of the written tree `tree` below
// `top`, and for every folder below it; entries that do not match what is on
// the disk, or whose status is not the one taken as they were `written`, are
// left out (read again by the snapshot).
void rowsOf(git_repository* repository, git_odb* odb, const std::string& top,
            const std::string& relative, const git_oid& treeId, const WrittenFiles& written,
            std::vector<std::pair<std::string, CachedFolder>>& rows) {
  git_tree* raw = nullptr;
  if (git_tree_lookup(&raw, repository, &treeId) != 0) return;
  const Tree tree(raw);
  CachedFolder folder;
  folder.tree = treeId;
  for (size_t i = 0; i < git_tree_entrycount(raw); ++i) {
    const git_tree_entry* entry = git_tree_entry_byindex(raw, i);
    const std::string name = git_tree_entry_name(entry);
    // Names kept escaped are left to the snapshot, which knows the history's naming.
    if (storedName(name) != name || realName(name) != name) continue;
    const std::string below = relative.empty() ? name : relative + "/" + name;
    struct stat info {};
    if (::lstat((top + "/" + below).c_str(), &info) != 0) continue;
    // Changed since it was written (the same size, perhaps): what is there now
    // is not the version's, whatever its times.
    const auto wrote = written.find(below);
    if (!S_ISDIR(info.st_mode) &&
        (wrote == written.end() || !(wrote->second == WrittenFile::of(info)))) {
      continue;
    }
    const git_oid& id = *git_tree_entry_id(entry);
    const auto mode = static_cast<std::uint32_t>(git_tree_entry_filemode(entry));
    const auto sizeIs = [&](std::uint64_t size) {
      return static_cast<std::uint64_t>(info.st_size) == size;
    };
    const auto executableIs = [&](std::uint32_t fileMode) {
      return ((info.st_mode & 0111) != 0) == (fileMode == GIT_FILEMODE_BLOB_EXECUTABLE);
    };
    if (mode == GIT_FILEMODE_TREE) {
      if (const auto file = chunkedFile(repository, id)) {
        if (S_ISREG(info.st_mode) && sizeIs(file->size) && executableIs(file->mode)) {
          folder.entries.push_back(cachedOf(name, mode, info, id));
        }
      } else if (S_ISDIR(info.st_mode)) {
        rowsOf(repository, odb, top, below, id, written, rows);
        folder.entries.push_back(CachedEntry{name, mode, 0, 0, 0, 0, id});
      }
      continue;
    }
    size_t size = 0;
    git_object_t type = GIT_OBJECT_INVALID;
    if (git_odb_read_header(&size, &type, odb, &id) != 0 || type != GIT_OBJECT_BLOB ||
        !sizeIs(size)) {
      continue;
    }
    if ((mode == GIT_FILEMODE_LINK && S_ISLNK(info.st_mode)) ||
        ((mode == GIT_FILEMODE_BLOB || mode == GIT_FILEMODE_BLOB_EXECUTABLE) &&
         S_ISREG(info.st_mode) && executableIs(mode))) {
      folder.entries.push_back(cachedOf(name, mode, info, id));
    }
  }
  std::sort(folder.entries.begin(), folder.entries.end(),
            [](const CachedEntry& a, const CachedEntry& b) { return a.name < b.name; });
  rows.emplace_back(relative, std::move(folder));
}

}  // namespace

bool isLocal(const std::string& url) {
  if (url.rfind("file://", 0) == 0) return true;
  return !url.empty() && url.front() == '/';
}

void trustFetchedObjects(const std::string& url) {
  if (!isLocal(url)) git_libgit2_opts(GIT_OPT_ENABLE_STRICT_HASH_VERIFICATION, 0);
}

std::string localPath(const std::string& url) {
  return url.rfind("file://", 0) == 0 ? url.substr(7) : url;
}

Result<std::vector<Mirror>> list(const std::string& store) {
  auto repository = openStore(store);
  if (!repository.ok()) return repository.status();
  auto config = configOf(repository->get());
  if (!config.ok()) return config.status();
  std::vector<Mirror> mirrors;
  // Every entry, matched here: libgit2's regular-expression iterator leaks
  // PCRE2's match data at each entry it tests.
  git_config_iterator* raw = nullptr;
  if (git_config_iterator_new(&raw, config->get()) != 0) {
    return gitFailure(_("cannot read the history's settings"));
  }
  std::unique_ptr<git_config_iterator, Freer<git_config_iterator, git_config_iterator_free>>
      iterator(raw);
  git_config_entry* entry = nullptr;
  std::vector<std::string> urls;
  constexpr std::string_view kUrl = ".url";
  while (git_config_next(&entry, raw) == 0) {
    const std::string_view name = entry->name;
    if (name.size() > kSection.size() + kUrl.size() &&
        name.substr(0, kSection.size()) == kSection &&
        name.substr(name.size() - kUrl.size()) == kUrl) {
      urls.emplace_back(entry->value);
    }
  }
  const std::optional<git_oid> tip = [&]() -> std::optional<git_oid> {
    auto branch = branchName(repository->get());
    return branch.ok() ? localTip(repository->get(), *branch) : std::nullopt;
  }();
  for (const std::string& url : urls) {
    Mirror mirror;
    mirror.url = url;
    mirror.pushed = stringAt(config->get(), key(url, "pushed"));
    mirror.pushedAt = numberAt(config->get(), key(url, "pushedAt"));
    mirror.failures = numberAt(config->get(), key(url, "failures"));
    mirror.lastFailure = stringAt(config->get(), key(url, "lastFailure"));
    if (tip) mirror.unpushed = countUntil(repository->get(), *tip, parsedId(mirror.pushed));
    mirrors.push_back(std::move(mirror));
  }
  return mirrors;
}

Status add(const std::string& store, const std::string& url) {
  if (url.empty() || url.find('\n') != std::string::npos) {
    return Status::failure(Status::Kind::invalid,
                           formatted(_("not a mirror's address: %s"), url.c_str()));
  }
  const bool local = isLocal(url);
  if (!local && !ssh::parse(url)) {
    return Status::failure(
        Status::Kind::invalid,
        formatted(_("a mirror is an absolute path, an ssh:// address or user@host:path: %s"),
                  url.c_str()));
  }
  auto repository = openStore(store);
  if (!repository.ok()) return repository.status();
  auto locked = MirrorLock::take(repository->get());
  if (!locked.ok()) return locked.status();
  auto config = configOf(repository->get());
  if (!config.ok()) return config.status();
  if (known(config->get(), url)) {
    return Status::failure(Status::Kind::refused,
                           formatted(_("already a mirror of this folder: %s"), url.c_str()));
  }
  if (local) {
    const std::string path = localPath(url);
    git_repository* raw = nullptr;
    if (git_repository_open_ext(&raw, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) == 0) {
      git_repository_free(raw);
    } else {
      struct stat info {};
      if (::stat(path.c_str(), &info) == 0) {
        // Something that is no repository: an empty folder is made one,
        // anything else is left alone.
        std::error_code ignored;
        if (!S_ISDIR(info.st_mode) || !std::filesystem::is_empty(path, ignored)) {
          return Status::failure(
              Status::Kind::refused,
              formatted(_("not an empty folder or a git repository: %s"), path.c_str()));
        }
      } else {
        const std::string above = std::filesystem::path(path).parent_path();
        if (::stat(above.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
          return Status::failure(Status::Kind::unavailable,
                                 formatted(_("no folder %s (is its disk mounted?)"), above.c_str()),
                                 ENOENT);
        }
      }
      git_repository_init_options options = GIT_REPOSITORY_INIT_OPTIONS_INIT;
      options.flags = GIT_REPOSITORY_INIT_BARE | GIT_REPOSITORY_INIT_MKPATH;
      // The mirror's HEAD names the branch the history has, so that a clone
      // of it checks that out.
      auto branch = branchName(repository->get());
      if (branch.ok())
        options.initial_head = branch->c_str() + std::string_view("refs/heads/").size();
      if (git_repository_init_ext(&raw, path.c_str(), &options) != 0) {
        return gitFailure(formatted(_("cannot make the mirror %s"), path.c_str()));
      }
      git_repository_free(raw);
      if (Status synced = syncFileSystemOf(path); !synced.ok()) return synced;
    }
  }
  return setEntries(repository->get(), url, {{"url", url}});
}

Status remove(const std::string& store, const std::string& url) {
  auto repository = openStore(store);
  if (!repository.ok()) return repository.status();
  auto locked = MirrorLock::take(repository->get());
  if (!locked.ok()) return locked.status();
  auto config = configOf(repository->get());
  if (!config.ok()) return config.status();
  if (!known(config->get(), url)) {
    return Status::failure(Status::Kind::notFound,
                           formatted(_("not a mirror of this folder: %s"), url.c_str()));
  }
  for (const char* name :
       {"url", "pushed", "pushing", "pushedAt", "failures", "lastFailure", "tips", "tipsPushing"}) {
    (void)git_config_delete_entry(config->get(), key(url, name).c_str());
  }
  return syncConfig(repository->get());
}

Result<Pushed> push(const std::string& store, const std::string& url,
                    const std::function<void(const Progress&)>& progress,
                    const std::atomic<bool>* stop) {
  auto repository = openStore(store);
  if (!repository.ok()) return repository.status();
  auto locked = MirrorLock::take(repository->get());
  if (!locked.ok()) return locked.status();
  git_repository* repo = repository->get();
  auto config = configOf(repo);
  if (!config.ok()) return config.status();
  if (!known(config->get(), url)) {
    return Status::failure(Status::Kind::notFound,
                           formatted(_("not a mirror of this folder: %s"), url.c_str()));
  }
  auto branch = branchName(repo);
  if (!branch.ok()) return branch.status();
  const std::optional<git_oid> tip = localTip(repo, *branch);
  if (!tip) {  // no snapshot yet: nothing to send
    Pushed nothing;
    nothing.upToDate = true;
    return nothing;
  }

  auto remote = remoteFor(repo, url);
  if (!remote.ok()) return counted(repo, url, remote.status());
  Callbacks state;
  state.progress = &progress;
  state.stop = stop;
  auto refs = remoteRefs(remote->get(), GIT_DIRECTION_PUSH, state);
  if (!refs.ok()) return counted(repo, url, refs.status());
  // The push connects again: libgit2 1.5 would otherwise drop this SSH
  // session unfreed when it does.
  git_remote_disconnect(remote->get());

  Pushed pushed;
  pushed.tip = hex(*tip);
  std::vector<std::string> updates;
  const auto there = refs->find(*branch);
  if (there == refs->end()) {
    updates.push_back(*branch + ":" + *branch);
  } else if (git_oid_equal(&there->second, &*tip)) {
    pushed.upToDate = true;
  } else if (git_graph_descendant_of(repo, &*tip, &there->second) == 1) {
    updates.push_back(*branch + ":" + *branch);
  } else {
    // The local branch was written anew (thinned): the mirror's branch is
    // replaced only while it is what this history last sent there, or was
    // sending when a push was cut short.
    const std::string remoteTip = hex(there->second);
    if (remoteTip != stringAt(config->get(), key(url, "pushed")) &&
        remoteTip != stringAt(config->get(), key(url, "pushing"))) {
      return counted(
          repo, url,
          Status::failure(Status::Kind::refused,
                          // TRANSLATORS: the mirror's address, then the snapshot's short id.
                          formatted(_("the mirror %s has a snapshot %s that this history did not "
                                      "send: left as it is"),
                                    url.c_str(), shortId(remoteTip).c_str())));
    }
    updates.push_back("+" + *branch + ":" + *branch);
    pushed.rewritten = true;
  }
  // Pins are named by the snapshot they pin: one of the same name is the
  // same pin, so only the missing ones are sent, and the dropped ones go.
  auto pins = localPins(repo);
  if (!pins.ok()) return counted(repo, url, pins.status());
  for (const std::string& pin : *pins) {
    if (!refs->contains(pin)) updates.push_back("+" + pin + ":" + pin);
  }
  for (const auto& [name, oid] : *refs) {
    if (name.rfind(kPinnedRefs, 0) == 0 &&
        std::find(pins->begin(), pins->end(), name) == pins->end()) {
      updates.push_back(":" + name);
    }
  }
  auto log = tipsUpdate(repo, *branch, *refs);
  if (!log.ok()) return counted(repo, url, log.status());
  if (!log->refspec.empty()) updates.push_back(log->refspec);
  if (updates.empty()) {
    pushed.upToDate = true;
  } else {
    // The mirror's branch is known to be this history's now (an older
    // snapshot of it, or the one last sent): recorded as pushed, so that a
    // push that reached the mirror but was killed before it was recorded
    // does not leave the next one refused once this one is cut short too.
    std::vector<std::pair<const char*, std::string>> noting{{"pushing", pushed.tip}};
    if (there != refs->end()) noting.emplace_back("pushed", hex(there->second));
    if (Status noted = setEntries(repo, url, noting); !noted.ok()) {
      return counted(repo, url, noted);
    }
    std::vector<char*> raw;
    for (std::string& update : updates) raw.push_back(update.data());
    git_strarray array{raw.data(), raw.size()};
    git_push_options options = GIT_PUSH_OPTIONS_INIT;
    searchDeltasNextToEachOther(repo);
    options.pb_parallelism = 0;  // as many threads as cores to find deltas, as git does
    options.callbacks = callbacksFor(state);
    state.ssh.attempt = 0;
    std::optional<Status> fromPacks;
    if (holdsNothing(*refs)) fromPacks = pushFromPacks(repo, url, updates, state);
    if (fromPacks) {
      if (!fromPacks->ok()) return counted(repo, url, *fromPacks);
    } else if (git_remote_push(remote->get(), &array, &options) != 0) {
      return counted(repo, url,
                     gitFailure(formatted(_("cannot push to the mirror %s"), url.c_str()),
                                Status::Kind::unavailable));
    }
    if (!state.rejected.empty()) {
      const auto& [name, why] = *state.rejected.begin();
      return counted(repo, url,
                     Status::failure(Status::Kind::refused,
                                     // TRANSLATORS: the mirror's address, the reference it refused
                                     // (refs/...), then the server's reason, as it gave it.
                                     formatted(_("the mirror %s refused %s: %s"), url.c_str(),
                                               name.c_str(), why.c_str())));
    }
    if (isLocal(url)) {
      if (Status synced = syncFileSystemOf(localPath(url)); !synced.ok()) {
        return counted(repo, url, synced);
      }
    }
  }
  if (Status recorded = setEntries(
          repo, url,
          {{"pushed", pushed.tip}, {"pushedAt", std::to_string(now())}, {"failures", "0"}},
          {"pushing", "lastFailure"});
      !recorded.ok()) {
    return recorded;
  }
  return pushed;
}

Result<std::string> fetchAll(const std::string& store, const std::string& url,
                             const std::function<void(const Progress&)>& progress) {
  auto repository = openStore(store);
  if (!repository.ok()) return repository.status();
  auto locked = MirrorLock::take(repository->get());
  if (!locked.ok()) return locked.status();
  git_repository* repo = repository->get();
  auto branch = branchName(repo);
  if (!branch.ok()) return branch.status();
  if (localTip(repo, *branch)) {
    return Status::failure(Status::Kind::refused, _("this history has snapshots already"));
  }
  auto remote = remoteFor(repo, url);
  if (!remote.ok()) return remote.status();
  Callbacks state;
  state.progress = &progress;
  auto refs = remoteRefs(remote->get(), GIT_DIRECTION_FETCH, state);
  if (!refs.ok()) return refs.status();
  // The mirror's branch: the one of this history's name, or its only one.
  std::string theirs;
  std::size_t branches = 0;
  for (const auto& [name, oid] : *refs) {
    if (name.rfind("refs/heads/", 0) != 0) continue;
    ++branches;
    if (theirs.empty() || name == *branch) theirs = name;
  }
  if (theirs.empty()) {
    return Status::failure(Status::Kind::noHistory,
                           formatted(_("the mirror %s holds no history"), url.c_str()));
  }
  if (branches > 1 && theirs != *branch) {
    return Status::failure(
        Status::Kind::invalid,
        // TRANSLATORS: the mirror's address, then the branch's name (refs/heads/...).
        formatted(_("the mirror %s has several branches and none is %s"), url.c_str(),
                  branch->c_str()));
  }
  git_remote_disconnect(remote->get());
  if (isLocal(url)) {
    // A mirror on a disk: its packs and objects copied as they are, as git
    // clones a repository on the same machine, rather than each object
    // inflated, compressed and indexed again. What they hold is read (and
    // hashed) by the history's first opening and by `check`.
    if (Status copied = copyObjects(localPath(url) + "/objects", store + "/objects");
        !copied.ok()) {
      return copied;
    }
    for (const auto& [name, oid] : *refs) {
      const bool pin = name.rfind(kPinnedRefs, 0) == 0;
      if (!pin && name != theirs) continue;
      git_reference* made = nullptr;
      if (git_reference_create(&made, repo, pin ? name.c_str() : kAdopting, &oid, 1,
                               "tarvine: adopted") != 0) {
        return gitFailure(formatted(_("cannot keep what the mirror %s holds"), url.c_str()));
      }
      git_reference_free(made);
    }
  } else {
    std::string wanted = "+" + theirs + ":" + kAdopting;
    std::string pins =
        std::string("+") + std::string(kPinnedRefs) + "*:" + std::string(kPinnedRefs) + "*";
    std::string log = std::string("+") + tips::kRef + ":" + kAdoptingTips;
    std::vector<char*> raw{wanted.data(), pins.data()};
    if (refs->contains(tips::kRef)) raw.push_back(log.data());
    git_strarray array{raw.data(), raw.size()};
    git_fetch_options options = GIT_FETCH_OPTIONS_INIT;
    options.callbacks = callbacksFor(state);
    options.download_tags = GIT_REMOTE_DOWNLOAD_TAGS_NONE;
    state.ssh.attempt = 0;  // a connection of its own: every key may be tried again
    if (git_remote_fetch(remote->get(), &array, &options, nullptr) != 0) {
      return unreachable(state, formatted(_("cannot fetch from the mirror %s"), url.c_str()));
    }
  }
  git_oid tip;
  if (git_reference_name_to_id(&tip, repo, kAdopting) != 0) {
    return gitFailure(_("the mirror's branch did not arrive"), Status::Kind::damaged);
  }
  // What was fetched is made durable before the branch names it.
  if (Status synced = syncFileSystemOf(store); !synced.ok()) return synced;
  // The mirror recorded before the branch is set: an adopt cut short after
  // that finds it, pushed up to the branch, and takes up where it was (the
  // files) rather than being refused as a history with snapshots already.
  if (Status recorded = setEntries(repo, url,
                                   {{"url", url},
                                    {"pushed", hex(tip)},
                                    {"pushedAt", std::to_string(now())},
                                    {"failures", "0"}});
      !recorded.ok()) {
    return recorded;
  }
  if (Status set = setReference(repo, *branch, nullptr, tip, "tarvine: adopted from " + url, true);
      !set.ok()) {
    return set;
  }
  if (Status logged = adoptTips(repo, *branch, *refs); !logged.ok()) return logged;
  git_reference* adopting = nullptr;
  if (git_reference_lookup(&adopting, repo, kAdopting) == 0) {
    (void)git_reference_delete(adopting);
    git_reference_free(adopting);
  }
  return hex(tip);
}

Result<CheckReport> check(const std::string& store, const std::string& url,
                          const std::atomic<bool>* stop) {
  auto repository = openStore(store);
  if (!repository.ok()) return repository.status();
  auto config = configOf(repository->get());
  if (!config.ok()) return config.status();
  if (!known(config->get(), url)) {
    return Status::failure(Status::Kind::notFound,
                           formatted(_("not a mirror of this folder: %s"), url.c_str()));
  }
  const std::string pushed = stringAt(config->get(), key(url, "pushed"));
  // A server's mirror is read from a copy of all it holds, fetched here.
  std::string path = localPath(url);
  std::unique_ptr<Scratch> scratch;
  if (!isLocal(url)) {
    auto copy = serverCopy(repository->get(), url, stop);
    if (!copy.ok()) return copy.status();
    if (!copy->problem.empty()) {
      CheckReport report;
      report.problems.push_back(copy->problem);
      return report;
    }
    scratch = std::move(copy->scratch);
    path = scratch->path();
  }
  git_repository* raw = nullptr;
  if (git_repository_open_ext(&raw, path.c_str(),
                              GIT_REPOSITORY_OPEN_NO_SEARCH | GIT_REPOSITORY_OPEN_BARE,
                              nullptr) != 0) {
    return Status::failure(
        Status::Kind::unavailable,
        formatted(_("the mirror %s is not there (is its disk mounted?)"), url.c_str()), ENOENT);
  }
  Repository mirrored(raw);
  auto odb = odbOf(raw);
  if (!odb.ok()) return odb.status();

  CheckReport report;
  std::set<std::string> seen;
  // Reads `oid` whole (libgit2 hashes what it read against the id), and the
  // objects a tree names; false when it cannot.
  std::function<bool(const git_oid&, const std::string&)> verify = [&](const git_oid& oid,
                                                                       const std::string& where) {
    if (!seen.insert(hex(oid)).second) return true;
    git_odb_object* object = nullptr;
    if (git_odb_read(&object, odb->get(), &oid) != 0) {
      const git_error* error = git_error_last();
      report.problems.push_back(where + ": " + hex(oid) + ": " +
                                (error != nullptr ? error->message : _("cannot be read")));
      return false;
    }
    ++report.objects;
    const bool isTree = git_odb_object_type(object) == GIT_OBJECT_TREE;
    git_odb_object_free(object);
    if (!isTree) return true;
    git_tree* tree = nullptr;
    if (git_tree_lookup(&tree, raw, &oid) != 0) {
      report.problems.push_back(
          // TRANSLATORS: where the object is in the snapshot, then its id.
          formatted(_("%s: %s: not a tree that can be parsed"), where.c_str(), hex(oid).c_str()));
      return false;
    }
    bool whole = true;
    for (size_t i = 0; i < git_tree_entrycount(tree) && !(stop != nullptr && *stop); ++i) {
      const git_tree_entry* entry = git_tree_entry_byindex(tree, i);
      if (git_tree_entry_type(entry) == GIT_OBJECT_COMMIT) continue;  // a chunked file's marker
      whole = verify(*git_tree_entry_id(entry), where + "/" + git_tree_entry_name(entry)) && whole;
    }
    git_tree_free(tree);
    return whole;
  };

  git_revwalk* walkRaw = nullptr;
  if (git_revwalk_new(&walkRaw, raw) != 0) return gitFailure(_("cannot walk the mirror"));
  std::unique_ptr<git_revwalk, Freer<git_revwalk, git_revwalk_free>> walk(walkRaw);
  if (git_revwalk_push_head(walkRaw) != 0 && git_error_last() != nullptr) {
    report.problems.push_back(formatted(_("the mirror's branch: %s"), git_error_last()->message));
  }
  (void)git_revwalk_push_glob(walkRaw, std::string(kPinnedRefs).append("*").c_str());
  git_oid oid;
  bool found = pushed.empty();
  int walked = 0;
  while ((walked = git_revwalk_next(&oid, walkRaw)) == 0) {
    if (stop != nullptr && *stop) return Status::failure(Status::Kind::failed, _("stopped"));
    ++report.snapshots;
    const std::string id = hex(oid);
    found = found || id == pushed;
    if (!verify(oid, shortId(id))) continue;
    git_commit* commit = nullptr;
    if (git_commit_lookup(&commit, raw, &oid) != 0) {
      report.problems.push_back(
          formatted(_("%s: not a commit that can be parsed"), shortId(id).c_str()));
      continue;
    }
    (void)verify(*git_commit_tree_id(commit), shortId(id));
    git_commit_free(commit);
  }
  if (walked != GIT_ITEROVER) {
    const git_error* error = git_error_last();
    report.problems.push_back(formatted(_("the mirror's snapshots cannot all be read: %s"),
                                        error != nullptr ? error->message : _("unknown error")));
  }
  if (!found) {
    report.problems.push_back(formatted(_("the snapshot last pushed, %s, is not on the mirror"),
                                        shortId(pushed).c_str()));
  }
  // The branch's log, kept beside it (history/MirrorTips.h).
  if (git_reference_name_to_id(&oid, raw, tips::kRef) == 0 && verify(oid, _("the branch's log"))) {
    git_commit* commit = nullptr;
    if (git_commit_lookup(&commit, raw, &oid) != 0) {
      report.problems.push_back(formatted(
          _("%s: the branch's log is not a commit that can be parsed"), hex(oid).c_str()));
    } else {
      (void)verify(*git_commit_tree_id(commit), _("the branch's log"));
      git_commit_free(commit);
    }
  }
  return report;
}

void rememberWritten(const std::string& store, const std::string& version,
                     const std::string& folder, const WrittenFiles& written) {
  auto repository = openStore(store);
  if (!repository.ok()) return;
  auto commit = commitById(repository->get(), version);
  if (!commit.ok()) return;
  auto odb = odbOf(repository->get());
  if (!odb.ok()) return;
  // Taken after every file was written: files are trusted only with times
  // older than this, as the snapshot's own records are. A change after a
  // file was written shows in its status, unless made within the same step
  // of the file system's clock, which git's checkout leaves open too.
  const std::int64_t start = fileClockNow();
  std::vector<std::pair<std::string, CachedFolder>> rows;
  rowsOf(repository->get(), odb->get(), folder, "", *git_commit_tree_id(commit->get()), written,
         rows);
  const std::unique_ptr<StatCache> cache =
      StatCache::open(store + "/" + StatCache::fileName, /*writable=*/true);
  cache->begin();
  for (auto& [relative, row] : rows) {
    row.start = start;
    cache->put(relative, row);
  }
  cache->commit();
}

}  // namespace tarvine::history::mirror
