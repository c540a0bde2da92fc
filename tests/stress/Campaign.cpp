#include "tests/stress/Campaign.h"

#include <fcntl.h>
#include <git2.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "history/History.h"
#include "roots/Keeper.h"
#include "tests/support/PowerCut.h"

namespace tarvine::testing::campaign {
namespace {

namespace fs = std::filesystem;
using history::Reason;
using roots::Container;
using roots::Keeper;

struct UserFile {
  const char* path;
  std::size_t bytes;
  bool binary;
  bool sameSize;  // every version the same size, as an edit in place leaves it
};
constexpr UserFile kUserFiles[] = {
    {"notes.txt", 300, false, false},
    {"letters/to-anna.txt", 5'000, false, false},
    {"letters/drafts/plan.md", 9'000, false, false},
    {"photos/beach.raw", 256 << 10, true, false},
    {"code/main.c", 2'000, false, true},
    {"code/lib/util.c", 14'000, false, false},
};
constexpr std::size_t kFileCount = std::size(kUserFiles);

// The states the runs go through: the prepared ones, then each operation's.
const State kFirst{0, 0, 0, 0, 0, 0};
const State kSecond{1, 1, 0, 0, 0, 0};
const State kThird{1, 1, 2, 2, 0, 0};
const State kBeforeSnapshot{3, 1, 2, 3, 0, 3};  // edits a snapshot then records
const State kBeforeRestore{1, 4, 2, 2, 4, 0};   // unsaved work a restore must keep first
const State kBeforeTidy{1, 1, 5, 2, 0, 0};
constexpr std::size_t kRestoredSnapshot = 1;  // the prepared snapshot a restore brings back

// git's gc --auto estimates the loose objects from the fan-out folder
// objects/17 alone: these many there stand for more than it allows, so that a
// tidy has loose objects to pack without thousands of files to make first.
constexpr std::size_t kObjectsInSampledFolder = 27;
constexpr const char* kSampledPrefix = "17";

constexpr auto kReadyWait = std::chrono::seconds(60);
constexpr unsigned kCheckSeconds = 120;

std::string encode(const State& state) {
  std::string text;
  for (int version : state) text += (text.empty() ? "" : ",") + std::to_string(version);
  return text;
}

State decode(const std::string& text) {
  State state;
  std::istringstream parts(text);
  for (std::string part; std::getline(parts, part, ',');) state.push_back(std::stoi(part));
  if (state.size() != kFileCount) throw std::runtime_error("not a state: " + text);
  return state;
}

void syncPath(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::fsync(fd) != 0) throw std::runtime_error("cannot sync " + path);
  ::close(fd);
}

// Saves a file as a careful editor does: beside it, synced, renamed over it,
// the folder synced. Once this returns, the version is on the disk.
void saveFile(const std::string& path, const std::string& text) {
  const fs::path target(path);
  fs::create_directories(target.parent_path());
  const std::string temporary = path + ".saving";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + temporary);
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!written || ::fsync(fd) != 0) throw std::runtime_error("cannot write " + temporary);
  ::close(fd);
  if (::rename(temporary.c_str(), path.c_str()) != 0) throw std::runtime_error("cannot save");
  syncPath(target.parent_path().string());
}

// Saves each file whose version differs from `from`.
void saveState(const Places& places, const State& from, const State& to) {
  for (std::size_t file = 0; file < kFileCount; ++file) {
    if (from.empty() || from[file] != to[file]) {
      saveFile(places.root + "/" + kUserFiles[file].path, content(file, to[file]));
    }
  }
}

std::string readWhole(const std::string& path, bool* found = nullptr) {
  std::ifstream in(path, std::ios::binary);
  if (found) *found = static_cast<bool>(in);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Small files whose git ids start with the sampled prefix.
std::vector<std::string> sampledFolderContents() {
  git_libgit2_init();
  std::vector<std::string> found;
  for (int i = 0; found.size() < kObjectsInSampledFolder; ++i) {
    const std::string text = "loose object " + std::to_string(i) + "\n";
    git_oid oid;
    git_odb_hash(&oid, text.data(), text.size(), GIT_OBJECT_BLOB);
    char id[GIT_OID_HEXSZ + 1];
    git_oid_tostr(id, sizeof id, &oid);
    if (std::strncmp(id, kSampledPrefix, 2) == 0) found.push_back(text);
  }
  git_libgit2_shutdown();
  return found;
}

std::string shortOf(const std::string& id) { return history::shortId(id); }

// How far ahead the thinning looks: the prepared snapshots are then all a
// month old.
constexpr std::int64_t kThinnedAfter = 30 * 24 * 60 * 60;

// The worker's side: everything it does, from the fork to its exit status.
class Work {
 public:
  Work(const Places& places, const Prepared& prepared, int reports)
      : places_(places), prepared_(prepared), reports_(reports) {}

  void say(const std::string& line) const {
    const std::string text = line + "\n";  // one write, shorter than a pipe's atomic size
    (void)!::write(reports_, text.data(), text.size());
  }

  // The user's edits before the operation, saved and reported.
  State edit(Operation operation) const {
    const State* next = operation == Operation::snapshot  ? &kBeforeSnapshot
                        : operation == Operation::restore ? &kBeforeRestore
                        : operation == Operation::tidy    ? &kBeforeTidy
                                                          : &prepared_.folder;
    if (*next != prepared_.folder) {
      say("writing " + encode(*next));
      saveState(places_, prepared_.folder, *next);
      say("folder " + encode(*next));
    }
    return *next;
  }

  int run(Operation operation, const State& folder, bool bystander) const {
    Keeper keeper{Container(places_.container)};
    switch (operation) {
      case Operation::snapshot:
      case Operation::tidy: {
        const bool tidy = operation == Operation::tidy;
        auto taken = keeper.snapshot(places_.root, tidy ? Reason::automatic : Reason::manual, tidy);
        if (!taken.ok()) return failed("snapshot: " + taken.status().message());
        if (taken->snapshot.id.empty()) return failed("the snapshot recorded nothing");
        say("snapshot " + taken->snapshot.id + " " + encode(folder));
        if (tidy && !taken->tidied.ok()) return failed("tidy: " + taken->tidied.message());
        break;
      }
      case Operation::restore: {
        const std::string& id = prepared_.order.at(kRestoredSnapshot);
        const State& target = prepared_.snapshots.at(id);
        say("writing " + encode(target));
        auto restored = keeper.restore(places_.root, id);
        if (!restored.ok()) return failed("restore: " + restored.status().message());
        if (!restored->before.empty()) say("snapshot " + restored->before + " " + encode(folder));
        say("folder " + encode(target));
        break;
      }
      case Operation::pack:
        if (Status packed = keeper.pack(places_.root); !packed.ok()) {
          return failed("pack: " + packed.message());
        }
        break;
      case Operation::thin: {
        // A month on, the prepared snapshots (all of one day) are one a day
        // by the standard policy: the first stays, the others go but the
        // newest, which is written anew. Said first, as either chain may be
        // what a cut leaves.
        const std::int64_t later = std::time(nullptr) + kThinnedAfter;
        auto planned = keeper.thin(places_.root, later, /*dryRun=*/true);
        if (!planned.ok()) return failed("thin: " + planned.status().message());
        std::set<std::string> dropped;
        for (const history::Dropped& version : planned->thinned.dropped) {
          dropped.insert(version.id);
        }
        if (dropped.empty()) return failed("the thinning would drop nothing");
        for (const std::string& id : prepared_.order) {
          say((dropped.contains(id) ? "dropping " : "rewriting ") + id);
        }
        auto thinned = keeper.thin(places_.root, later);
        if (!thinned.ok()) return failed("thin: " + thinned.status().message());
        break;
      }
    }
    say("done");
    // Another program's synced write: the file system commits its journal,
    // with whatever the operation left unsynced in it.
    if (bystander) saveFile(places_.bystander, "another program's data\n");
    return 0;
  }

 private:
  int failed(const std::string& why) const {
    say("failed " + why);
    return 1;
  }

  const Places& places_;
  const Prepared& prepared_;
  int reports_;
};

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The lines of `text` that name any of `ids`, by their short form.
std::vector<std::string> linesNaming(const std::string& text, const std::vector<std::string>& ids) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    for (const std::string& id : ids) {
      if (line.find(shortOf(id)) != std::string::npos) {
        found.push_back(line);
        break;
      }
    }
  }
  return found;
}

bool isHex(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

// What a killed writer can leave in a store: anything in objects/ that is not
// an object, a pack or git's own list of packs; and lock and temporary files
// anywhere.
std::vector<std::string> storeLeftovers(const std::string& repository) {
  std::vector<std::string> found;
  std::error_code missing;
  const fs::path objects = fs::path(repository) / "objects";
  for (auto it = fs::recursive_directory_iterator(repository, missing);
       it != fs::recursive_directory_iterator(); it.increment(missing)) {
    std::error_code gone;
    if (it->is_directory(gone)) continue;
    const fs::path& path = it->path();
    const std::string name = path.filename().string();
    const std::string folder = path.parent_path().filename().string();
    const bool inObjects = path.string().rfind(objects.string() + "/", 0) == 0;
    bool leftover = name.size() > 5 && name.substr(name.size() - 5) == ".lock";
    leftover = leftover || name.rfind("tmp", 0) == 0 || name.find(".tmp") != std::string::npos;
    if (inObjects && !leftover) {
      const bool object = folder.size() == 2 && isHex(folder) && name.size() == 38 && isHex(name);
      const auto dot = name.find('.');
      const bool pack =
          folder == "pack" && name.rfind("pack-", 0) == 0 && dot == 45 && isHex(name.substr(5, 40));
      const bool list = folder == "info" && (name == "packs" || name == "alternates");
      leftover = !object && !pack && !list;
    }
    if (leftover) found.push_back(fs::relative(path, repository).string());
  }
  return found;
}

std::vector<std::string> folderLeftovers(const std::string& root) {
  std::vector<std::string> found;
  std::error_code missing;
  for (auto it = fs::recursive_directory_iterator(root, missing);
       it != fs::recursive_directory_iterator(); it.increment(missing)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(history::History::restoringPrefix, 0) == 0) {
      found.push_back(fs::relative(it->path(), root).string());
    }
  }
  return found;
}

// The store's own checks: `tarvine check` where the program has the command,
// then git's fsck. Each problem: a check that could not run, or one that
// names a snapshot reported done.
void checkStore(const Places& places, const std::string& repository, const StoreCheck& check,
                const std::vector<std::string>& reported, std::vector<std::string>& problems) {
  const std::string log = places.base + ".check-log";
  const std::vector<std::string> environment = {"XDG_DATA_HOME=" + places.dataHome,
                                                "HOME=" + places.base};
  if (!check.cliProgram.empty()) {
    fs::remove(log);
    const int status =
        runProgram({check.cliProgram, "--json", "--group", kGroup, "check", places.root}, log,
                   kCheckSeconds, environment);
    const std::string output = readWhole(log);
    const bool unknown = status == 2 && output.find("unknown command") != std::string::npos;
    if (!unknown && status != 0 && status != 1) {
      problems.push_back("check failed: tarvine check ended with " + std::to_string(status) + ": " +
                         output);
    }
    const std::vector<std::string> naming = linesNaming(output, reported);
    if (!unknown && status == 1 && !naming.empty()) {
      problems.push_back("check names reported: tarvine check: " + naming.front() + " (and " +
                         std::to_string(naming.size() - 1) + " more)");
    }
  }
  fs::remove(log);
  const int status = runProgram(
      {"git", "--git-dir=" + repository, "fsck", "--strict", "--no-dangling", "--no-progress"}, log,
      kCheckSeconds, environment);
  const std::string output = readWhole(log);
  fs::remove(log);
  if (status == 0) return;
  const std::vector<std::string> naming = linesNaming(output, reported);
  if (!naming.empty()) {
    problems.push_back("check names reported: git fsck: " + naming.front() + " (and " +
                       std::to_string(naming.size() - 1) + " more)");
  }
  // Damage it names is allowed where it is not what was reported done (a tip
  // that was being written, kept aside); a store it cannot open at all is not.
  if (output.find("not a git repository") != std::string::npos) {
    problems.push_back("check failed: git cannot open the store: " +
                       output.substr(0, output.find('\n')));
  }
}

// How snapshot `id` differs from `state`, read back file by file through the
// history: each a problem, none when it holds it.
std::vector<std::string> differences(history::History& history, const std::string& id,
                                     const State& state) {
  std::vector<std::string> problems;
  auto files = history.files(id, "");
  if (!files.ok()) return {files.status().message()};
  std::set<std::string> paths;
  for (const auto& file : files.value()) {
    paths.insert(file.path);
    if (fs::path(file.path).filename().string().rfind(history::History::restoringPrefix, 0) == 0) {
      problems.push_back("holds " + file.path);
    }
  }
  for (std::size_t file = 0; file < kFileCount; ++file) {
    const std::string path = kUserFiles[file].path;
    if (paths.count(path) == 0) {
      problems.push_back("lacks " + path);
      continue;
    }
    const int fd = ::memfd_create("version", MFD_CLOEXEC);
    Status written = history.writeFileVersion(id, path, fd);
    std::string text;
    if (written.ok()) {
      const off_t size = ::lseek(fd, 0, SEEK_END);
      text.resize(static_cast<std::size_t>(size));
      if (::pread(fd, text.data(), text.size(), 0) != size) text.clear();
    }
    ::close(fd);
    if (!written.ok()) {
      problems.push_back(path + ": " + written.message());
    } else if (text != content(file, state[file])) {
      problems.push_back(path + " is not as it was");
    }
  }
  return problems;
}

// Each reported snapshot, read back file by file through the history; and
// each state a thinning kept, in some snapshot listed.
void checkSnapshots(history::History& history, const Journal& journal,
                    std::vector<std::string>& problems) {
  auto versions = history.versions("");
  std::set<std::string> listed;
  if (!versions.ok()) {
    problems.push_back("history unreadable: its versions: " + versions.status().message());
  } else {
    for (const auto& version : versions.value()) listed.insert(version.id);
  }
  for (const auto& [id, state] : journal.snapshots) {
    const std::string name = "snapshot " + shortOf(id) + " (reported done)";
    // Unlisted, it is lost to the user even where its objects are still there.
    if (versions.ok() && listed.count(id) == 0) {
      problems.push_back("snapshot lost: " + name + " is not listed");
      continue;
    }
    for (const std::string& problem : differences(history, id, state)) {
      problems.push_back("snapshot damaged: " + name + ": " + problem);
    }
  }
  for (const State& state : journal.versions) {
    const bool held = std::any_of(listed.begin(), listed.end(), [&](const std::string& id) {
      return differences(history, id, state).empty();
    });
    if (!held) {
      problems.push_back("snapshot lost: no version listed holds " + encode(state) +
                         ", which a thinning keeps");
    }
  }
}

void checkUserFiles(const Places& places, const Journal& journal,
                    std::vector<std::string>& problems) {
  for (std::size_t file = 0; file < kFileCount; ++file) {
    const std::string path = kUserFiles[file].path;
    bool found = false;
    const std::string text = readWhole(places.root + "/" + path, &found);
    if (!found) {
      problems.push_back("user file lost: " + path);
      continue;
    }
    bool allowed = false;
    for (int version : journal.allowed[file]) allowed = allowed || text == content(file, version);
    if (allowed) continue;
    std::string held = "half-written (" + std::to_string(text.size()) + " bytes)";
    for (int version = 0; version < 10; ++version) {
      if (text == content(file, version)) held = "version " + std::to_string(version);
    }
    problems.push_back("user file damaged: " + path + " holds " + held);
  }
}

}  // namespace

const std::vector<std::string>& userFiles() {
  static const std::vector<std::string> paths = [] {
    std::vector<std::string> all;
    for (const UserFile& file : kUserFiles) all.push_back(file.path);
    return all;
  }();
  return paths;
}

std::string content(std::size_t file, int version) {
  const UserFile& shape = kUserFiles[file];
  std::string text = std::string(shape.path) + " version " + std::to_string(version) + "\n";
  const std::size_t bytes = shape.bytes + (shape.sameSize ? 0 : 37 * version);
  std::mt19937 random(static_cast<unsigned>(file * 1000 + version));
  while (text.size() < bytes) {
    if (shape.binary) {
      text.push_back(static_cast<char>(random()));
    } else {
      const auto pick = random() % 28;
      text.push_back(pick < 26 ? static_cast<char>('a' + pick) : pick == 26 ? ' ' : '\n');
    }
  }
  return text;
}

Places::Places(const std::string& at)
    : base(at),
      dataHome(at + "/data"),
      container(at + "/data/" + kGroup),
      root(at + "/home/folder"),
      bystander(at + "/elsewhere/other-program.dat") {}

const char* operationName(Operation operation) {
  switch (operation) {
    case Operation::snapshot:
      return "snapshot";
    case Operation::restore:
      return "restore";
    case Operation::pack:
      return "pack";
    case Operation::tidy:
      return "tidy";
    case Operation::thin:
      return "thin";
  }
  return "";
}

Prepared prepare(const Places& places) {
  Prepared prepared;
  Keeper keeper{Container(places.container)};
  const auto record = [&](const std::string& id, const State& state) {
    if (id.empty()) throw std::runtime_error("a prepared snapshot recorded nothing");
    prepared.snapshots[id] = state;
    prepared.order.push_back(id);
  };
  saveState(places, {}, kFirst);
  auto watched = keeper.watch(places.root, RootMode::manual);
  if (!watched.ok() || !watched->first || !watched->first->ok()) {
    throw std::runtime_error("cannot watch " + places.root);
  }
  record((*watched->first)->snapshot.id, kFirst);
  saveState(places, kFirst, kSecond);
  auto second = keeper.snapshot(places.root, Reason::manual);
  if (!second.ok()) throw std::runtime_error(second.status().message());
  record(second->snapshot.id, kSecond);
  if (Status packed = keeper.pack(places.root); !packed.ok()) {
    throw std::runtime_error(packed.message());
  }
  // Outside the user's files: loose objects for a tidy, and none of the
  // campaign's checks look at them.
  const std::vector<std::string> loose = sampledFolderContents();
  for (std::size_t i = 0; i < loose.size(); ++i) {
    saveFile(places.root + "/cache/loose-" + std::to_string(i), loose[i]);
  }
  saveState(places, kSecond, kThird);
  auto third = keeper.snapshot(places.root, Reason::manual);
  if (!third.ok()) throw std::runtime_error(third.status().message());
  record(third->snapshot.id, kThird);
  prepared.folder = kThird;
  fs::create_directories(fs::path(places.bystander).parent_path());
  return prepared;
}

Worker::Worker(const Places& places, const Prepared& prepared, Operation operation,
               bool bystander) {
  int reports[2], ready[2], go[2];
  if (::pipe2(reports, O_CLOEXEC) != 0 || ::pipe2(ready, O_CLOEXEC) != 0 ||
      ::pipe2(go, O_CLOEXEC) != 0) {
    throw std::runtime_error("cannot make pipes");
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork");
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::close(reports[0]);
    ::close(ready[0]);
    ::close(go[1]);
    int code = 1;
    try {
      const Work work(places, prepared, reports[1]);
      const State folder = work.edit(operation);
      char byte = 'r';
      if (::write(ready[1], &byte, 1) == 1 && ::read(go[0], &byte, 1) == 1) {
        code = work.run(operation, folder, bystander);
      }
    } catch (const std::exception& failure) {
      Work(places, prepared, reports[1]).say(std::string("failed ") + failure.what());
    }
    ::_exit(code);
  }
  ::setpgid(pid_, pid_);  // as the child does: whichever runs first
  ::close(reports[1]);
  ::close(ready[1]);
  ::close(go[0]);
  reports_ = reports[0];
  readyPipe_ = ready[0];
  goPipe_ = go[1];
}

Worker::~Worker() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  closeIfOpen(reports_);
  closeIfOpen(readyPipe_);
  closeIfOpen(goPipe_);
}

bool Worker::ready() {
  pollfd waiting{readyPipe_, POLLIN, 0};
  const int milliseconds =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kReadyWait).count());
  char byte = 0;
  return ::poll(&waiting, 1, milliseconds) == 1 && ::read(readyPipe_, &byte, 1) == 1;
}

void Worker::go() {
  const char byte = 'g';
  (void)!::write(goPipe_, &byte, 1);
  closeIfOpen(goPipe_);
}

void Worker::kill() { ::kill(-pid_, SIGKILL); }

int Worker::finish(unsigned seconds) {
  // Waited for but not reaped: until it is, its pid (and group) cannot be
  // reused, so a cut that comes late kills nobody else.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  siginfo_t info{};
  for (;;) {
    info.si_pid = 0;
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill();
      ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

Journal Worker::journal(const Prepared& prepared) {
  Journal journal;
  journal.snapshots = prepared.snapshots;
  for (int version : prepared.folder) journal.allowed.push_back({version});
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(reports_, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "writing" || verb == "folder") {
      std::string encoded;
      words >> encoded;
      const State state = decode(encoded);
      for (std::size_t file = 0; file < kFileCount; ++file) {
        if (verb == "folder") journal.allowed[file].clear();
        journal.allowed[file].insert(state[file]);
      }
    } else if (verb == "snapshot") {
      std::string id, encoded;
      words >> id >> encoded;
      journal.snapshots[id] = decode(encoded);
    } else if (verb == "dropping" || verb == "rewriting") {
      std::string id;
      words >> id;
      const auto reported = journal.snapshots.find(id);
      if (reported == journal.snapshots.end()) continue;
      if (verb == "rewriting") journal.versions.push_back(reported->second);
      journal.snapshots.erase(reported);
    } else if (verb == "done") {
      journal.finished = true;
    } else if (verb == "failed") {
      std::getline(words >> std::ws, journal.failure);
    }
  }
  return journal;
}

std::vector<std::string> findProblems(const Places& places, const Prepared&, const Journal& journal,
                                      const StoreCheck& check, bool leftovers) {
  std::vector<std::string> problems;
  std::vector<std::string> reported;
  for (const auto& entry : journal.snapshots) reported.push_back(entry.first);
  std::string repository;
  {
    auto history = Container(places.container).history(places.root);
    if (!history.ok()) {
      problems.push_back("history unreadable: it does not open: " + history.status().message());
    } else {
      repository = (*history)->repository();
      checkSnapshots(**history, journal, problems);
    }
  }
  if (!repository.empty()) checkStore(places, repository, check, reported, problems);
  checkUserFiles(places, journal, problems);
  // The history goes on: the next snapshot (which opens it under the lock,
  // as every change does) completes.
  Keeper keeper{Container(places.container)};
  auto next = keeper.snapshot(places.root, Reason::manual);
  if (!next.ok()) problems.push_back("next snapshot fails: " + next.status().message());
  if (leftovers && !repository.empty()) {
    for (const std::string& path : storeLeftovers(repository)) {
      problems.push_back("left behind: in the store: " + path);
    }
    for (const std::string& path : folderLeftovers(places.root)) {
      problems.push_back("left behind: in the folder: " + path);
    }
  }
  return problems;
}

std::string cliProgram() {
#ifdef TARVINE_CLI
  return TARVINE_CLI;
#else
  return "";
#endif
}

unsigned sizeFromEnvironment(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return static_cast<unsigned>(std::strtoul(value, nullptr, 10));
}

}  // namespace tarvine::testing::campaign
