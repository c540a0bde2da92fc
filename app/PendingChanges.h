#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace tarvine::app {

// What one automatic root's watches saw since its last snapshot, and when the
// next one is due: once the root has been quiet for a while after its last
// change, but never later than kLongestWait after the first change it will
// record, so that a file that changes all the time (a log, a download) holds
// no snapshot back. Knows nothing of the main loop: times are handed in.
class PendingChanges {
 public:
  using Clock = std::chrono::steady_clock;

  // The longest a change waits for its snapshot, however busy the root.
  static constexpr std::chrono::seconds kLongestWait{60};
  // A whole walk at least this often: the safety net under what the watches
  // say (a change they cannot see, as on a network file system).
  static constexpr std::chrono::hours kWholeWalkEvery{4};

  // An inotify event `mask` on the folder `folder` (below the root; "" for
  // the root itself), about its entry `name` (empty for the folder itself).
  void event(std::uint32_t mask, const std::string& folder, const std::string& name,
             Clock::time_point now);
  // Something changed in `folder`.
  void changed(const std::string& folder, Clock::time_point now);
  // The folder `folder` holds a subtree no watch has seen (made, moved in, or
  // made readable): it is read with every folder below it.
  void changedBelow(const std::string& folder, Clock::time_point now);
  // Anything may have changed: events were lost, watches ran out, or the
  // root was not watched.
  void changedAnywhere(Clock::time_point now);

  // The next snapshot reads every folder, without making one due (a
  // snapshot failed, or watches were made anew).
  void readWholeNextTime() { everywhere_ = true; }

  bool pending() const { return first_.has_value(); }
  // When the snapshot is due; only while pending.
  Clock::time_point due(std::chrono::milliseconds quiet) const;

  // What a snapshot reads: the folders that changed, and among them those
  // read with every folder below them.
  struct Reads {
    std::set<std::string> folders;
    std::set<std::string> whole;
    friend bool operator==(const Reads&, const Reads&) = default;
  };
  // What the snapshot taken now must read, or nothing (every folder).
  // Nothing is pending afterwards.
  std::optional<Reads> take(Clock::time_point now);

 private:
  std::optional<Clock::time_point> first_, last_;
  std::set<std::string> folders_, whole_;
  // Until the first snapshot, nothing was watched.
  bool everywhere_ = true;
  std::optional<Clock::time_point> lastWhole_;
};

}  // namespace tarvine::app
