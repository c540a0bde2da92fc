#pragma once

#include <glib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "foundation/Status.h"
#include "roots/Keeper.h"

namespace tarvine::app {

// When each mirror may be pushed again: not within kGapSeconds of its last
// push that succeeded (snapshots in a burst go in one push), and after a
// failure (the server unreachable, the disk not mounted) only once a wait
// has passed that doubles with each failure in a row, from
// kFirstWaitSeconds up to kLongestWaitSeconds.
class MirrorBackoff {
 public:
  static constexpr std::int64_t kGapSeconds = 60;
  static constexpr std::int64_t kFirstWaitSeconds = 60;
  static constexpr std::int64_t kLongestWaitSeconds = 60 * 60;

  bool due(const std::string& root, const std::string& url, std::int64_t now) const;
  // Whether its last push here failed.
  bool failing(const std::string& root, const std::string& url) const;
  void succeeded(const std::string& root, const std::string& url, std::int64_t now);
  // The failures in a row now.
  int failed(const std::string& root, const std::string& url, std::int64_t now);

 private:
  struct Next {
    int failures = 0;
    std::int64_t notBefore = 0;
  };
  std::map<std::pair<std::string, std::string>, Next> next_;
};

// Pushes each root's mirrors in the application's quiet moments: every
// `every`, the unpaused roots with no snapshot pending are looked at, and
// each of their mirrors that lacks snapshots and is due (MirrorBackoff) is
// pushed, one after the other, on a thread of its own, so that a slow
// server never holds up the main loop; the answers are told on the loop.
// One round at a time. Runs on the default GLib main context.
class QuietMirrors {
 public:
  struct Setting {
    std::chrono::milliseconds every;
    std::function<std::int64_t()> now;
    // Whether a snapshot of the root is pending (pushed after it is taken).
    std::function<bool(const std::string& root)> busy;
    // How a push went, with the failures in a row now (0 after a success).
    std::function<void(const std::string& root, const std::string& url, const Status& status,
                       int failures)>
        pushed;
    // At each look, the mirrors of every root with their failures in a row
    // as recorded (0 once a push succeeded, here or by hand); not said when
    // one root's could not be listed. May be empty.
    using Mirrors = std::map<std::pair<std::string, std::string>, std::int64_t>;  // (root, url)
    std::function<void(const Mirrors& failures)> listed;
  };

  QuietMirrors(roots::Keeper& keeper, Setting setting);
  // Waits for a push under way, cut short where it can be.
  ~QuietMirrors();
  QuietMirrors(const QuietMirrors&) = delete;
  QuietMirrors& operator=(const QuietMirrors&) = delete;

  // How many looks have been worked through, their pushes done.
  std::size_t rounds() const { return rounds_; }

 private:
  struct Job {
    std::string root, url;
    Status status;
  };
  void look();
  void finish();

  roots::Keeper& keeper_;
  Setting setting_;
  MirrorBackoff backoff_;
  unsigned timer_ = 0;
  std::thread worker_;
  bool running_ = false;
  std::atomic<bool> stop_{false};
  std::vector<Job> jobs_;  // the worker's alone while it runs
  std::size_t rounds_ = 0;
};

}  // namespace tarvine::app
