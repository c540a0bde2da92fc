#pragma once

// The fault campaign's shared driver: a user's files with numbered versions,
// a worker process that changes them and runs one operation of the history
// through the Keeper (as the programs do) while reporting what it has done
// through a pipe, and the checks made after the worker was killed or the
// power was cut: what was reported done is there, and no file of the user's
// is lost or half-written.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tarvine::testing::campaign {

// The group the campaign's container is named after, in its own data home.
constexpr const char* kGroup = "tarvine-campaign";

// Every user file at one version each.
using State = std::vector<int>;

// The user's files, as paths below the watched folder.
const std::vector<std::string>& userFiles();
// File `file` at `version`: contents that differ between versions and files.
std::string content(std::size_t file, int version);

// A campaign's places below `base`: the data home (and the container in it)
// and the watched folder.
struct Places {
  explicit Places(const std::string& base);
  std::string base;
  std::string dataHome;
  std::string container;
  std::string root;
  std::string bystander;  // a file of another program's, outside both
};

// What happens to the history under the fault.
enum class Operation { snapshot, restore, pack, tidy, thin };
constexpr Operation kOperations[] = {Operation::snapshot, Operation::restore, Operation::pack,
                                     Operation::tidy, Operation::thin};
const char* operationName(Operation operation);

// The history every run starts from: snapshots of the user's files at three
// states, one of them packed, and a few loose objects more (enough for a tidy
// to pack them). `snapshots` holds each snapshot's id and state.
struct Prepared {
  std::map<std::string, State> snapshots;
  std::vector<std::string> order;  // the snapshots' ids, oldest first
  State folder;
};
Prepared prepare(const Places& places);

// What a worker reported through its pipe, line by line.
struct Journal {
  // Reported done: each snapshot's id and the state it holds.
  std::map<std::string, State> snapshots;
  // States some listed snapshot must hold, under whatever id: a thinning
  // writes the versions it keeps anew.
  std::vector<State> versions;
  // For each user file, the versions it may hold now: the one it was last
  // reported at, and any it was being changed to when the worker was stopped.
  std::vector<std::set<int>> allowed;
  bool finished = false;  // the worker reported its operation done
  std::string failure;    // the operation's failure, when it reported one
};

// A worker's run: forked, in a process group of its own, it saves the user's
// new versions (synced, as a careful editor does) and reports them, says it is
// ready, waits to be told to go, runs `operation`, reports what it did, then
// (with `bystander`) makes another program's write on the same disk synced,
// so that the file system commits its journal, and exits.
class Worker {
 public:
  Worker(const Places& places, const Prepared& prepared, Operation operation, bool bystander);
  ~Worker();  // kills and reaps the worker if it still runs
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  pid_t processGroup() const { return pid_; }
  // Waits until the worker is ready; false when it died or took too long.
  bool ready();
  void go();
  // Waits for the worker's end, killing it after `seconds`; its wait status.
  int finish(unsigned seconds);
  void kill();
  // What it reported, read once it has ended.
  Journal journal(const Prepared& prepared);

 private:
  pid_t pid_ = -1;
  int reports_ = -1;
  int readyPipe_ = -1;
  int goPipe_ = -1;
};

// How the history's own check is made: `tarvine check` when the program has
// it, and stock git's fsck --strict.
struct StoreCheck {
  std::string cliProgram;  // the `tarvine` program, or "" for git alone
};

// The checks after a fault, each problem found one line: the history opens
// and lists every snapshot reported done; each of those reads back, file by
// file, as the user's files were; the store's checks name nothing reported
// done; each user file holds a version it was given; the next snapshot
// completes. With `leftovers`, nothing a killed writer left (temporary
// objects and packs, locks, a restore's temporaries in the folder) is there
// after that next snapshot.
std::vector<std::string> findProblems(const Places& places, const Prepared& prepared,
                                      const Journal& journal, const StoreCheck& check,
                                      bool leftovers);

// The `tarvine` program's path, or "" where the build has none.
std::string cliProgram();

// The campaign's size from the environment: `name` as a number, or
// `fallback` when it is unset (a test run stays short; longer runs set it).
unsigned sizeFromEnvironment(const char* name, unsigned fallback);

}  // namespace tarvine::testing::campaign
