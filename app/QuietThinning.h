#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Status.h"
#include "roots/Keeper.h"

namespace tarvine::app {

// Thins each root's history in the application's quiet moments: every
// `every`, the unpaused roots are looked at, then thinned one at a time at
// the main loop's lowest priority, below every event. A root with a snapshot
// pending is left for the next look; none runs meanwhile, as snapshots run on
// the same loop. Keeper::thinIfDue thins a root at most once a
// Keeper::kThinEverySeconds. Runs on the default GLib main context.
class QuietThinning {
 public:
  using Answer = Result<std::optional<roots::Keeper::Thinning>>;
  struct Setting {
    std::chrono::milliseconds every;
    // Now, in seconds since the epoch.
    std::function<std::int64_t()> now;
    // Whether a snapshot of the root is pending.
    std::function<bool(const std::string& root)> busy;
    // What thinning a root answered (none: it was not due).
    std::function<void(const std::string& root, const Answer& answer)> thinned;
  };

  QuietThinning(roots::Keeper& keeper, Setting setting);
  ~QuietThinning();
  QuietThinning(const QuietThinning&) = delete;
  QuietThinning& operator=(const QuietThinning&) = delete;

  // How many looks have been worked through to their last root.
  std::size_t rounds() const { return rounds_; }

 private:
  void look();
  // Thins the next root; false once none is left.
  bool next();

  roots::Keeper& keeper_;
  Setting setting_;
  unsigned timer_ = 0, idle_ = 0;
  std::vector<std::string> toThin_;
  std::size_t rounds_ = 0;
};

}  // namespace tarvine::app
