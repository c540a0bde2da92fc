#pragma once

#include <git2.h>

#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "history/History.h"

// Whether a history's newest snapshot can be read whole, and healing it
// when it cannot.
namespace tarvine::history {

struct Damage {
  struct Object {
    git_oid id;
    std::string what;  // "the file a/b.txt (3b18e5...): why"
  };
  std::vector<Object> objects;
  bool any() const { return !objects.empty(); }
  // The first few, for people.
  std::string summary() const;
};

// What cannot be read of the snapshot `commit`: the commit and every tree
// are read whole, hashed and parsed; of each file only the header is read,
// which finds a missing, empty or garbled object (what a power cut leaves)
// at a fraction of the cost of inflating every file (a file cut short after
// its header is left to `History::check`). Each object is looked at once.
Damage damageOf(git_repository* repository, const git_oid& commit);

// Whether `tip` was found whole in this boot of the machine, and remembering
// that it was.
bool vouchedFor(git_repository* repository, const std::string& tip);
void vouchFor(git_repository* repository, const std::string& tip);

// Finds the newest snapshot damaged or not, as `opening` asks: for reading,
// a damaged one is a failure; for writing, it is set aside and the branch
// brought back to the newest intact one from its log (the stat cache at
// `statCache`, which may vouch for what was lost, is removed). The intact
// newest snapshot (hex, "" when there is none), and how it was healed.
// The damaged snapshots set aside when the history was healed, each by the
// name it is kept under (relative to the history), oldest first.
std::vector<std::string> keptAside(git_repository* repository);

struct Tip {
  std::string intact;
  std::optional<Healed> healed;
};
Result<Tip> examineTip(git_repository* repository, History::Opening opening,
                       const std::string& statCache);

}  // namespace tarvine::history
