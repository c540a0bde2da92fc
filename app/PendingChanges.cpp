#include "app/PendingChanges.h"

#include <sys/inotify.h>

#include <algorithm>

namespace tarvine::app {

void PendingChanges::event(std::uint32_t mask, const std::string& folder, const std::string& name,
                           Clock::time_point now) {
  // Lost events may hide anything.
  if (mask & IN_Q_OVERFLOW) return changedAnywhere(now);
  changed(folder, now);
  // A folder made, moved in or given new permissions brings a subtree no
  // watch has seen (its own watches came after it): that subtree alone.
  constexpr std::uint32_t kNewSubtree = IN_CREATE | IN_MOVED_TO | IN_ATTRIB;
  if ((mask & IN_ISDIR) && (mask & kNewSubtree) && !name.empty()) {
    changedBelow(folder.empty() ? name : folder + "/" + name, now);
  }
}

void PendingChanges::changed(const std::string& folder, Clock::time_point now) {
  if (!first_) first_ = now;
  last_ = now;
  folders_.insert(folder);
}

void PendingChanges::changedBelow(const std::string& folder, Clock::time_point now) {
  changed(folder, now);
  whole_.insert(folder);
}

void PendingChanges::changedAnywhere(Clock::time_point now) {
  if (!first_) first_ = now;
  last_ = now;
  everywhere_ = true;
}

PendingChanges::Clock::time_point PendingChanges::due(std::chrono::milliseconds quiet) const {
  return std::min(*last_ + quiet, *first_ + kLongestWait);
}

std::optional<PendingChanges::Reads> PendingChanges::take(Clock::time_point now) {
  std::optional<Reads> reads;
  if (everywhere_ || !lastWhole_ || now - *lastWhole_ >= kWholeWalkEvery) {
    lastWhole_ = now;
  } else {
    reads = Reads{std::move(folders_), std::move(whole_)};
  }
  folders_.clear();
  whole_.clear();
  everywhere_ = false;
  first_.reset();
  last_.reset();
  return reads;
}

}  // namespace tarvine::app
