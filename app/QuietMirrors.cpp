#include "app/QuietMirrors.h"

#include <algorithm>

#include "roots/Mirrors.h"

namespace tarvine::app {

bool MirrorBackoff::due(const std::string& root, const std::string& url, std::int64_t now) const {
  const auto next = next_.find({root, url});
  return next == next_.end() || now >= next->second.notBefore;
}

bool MirrorBackoff::failing(const std::string& root, const std::string& url) const {
  const auto next = next_.find({root, url});
  return next != next_.end() && next->second.failures > 0;
}

void MirrorBackoff::succeeded(const std::string& root, const std::string& url, std::int64_t now) {
  next_[{root, url}] = {0, now + kGapSeconds};
}

int MirrorBackoff::failed(const std::string& root, const std::string& url, std::int64_t now) {
  Next& next = next_[{root, url}];
  ++next.failures;
  const int doublings = std::min(next.failures - 1, 30);
  next.notBefore = now + std::min(kFirstWaitSeconds << doublings, kLongestWaitSeconds);
  return next.failures;
}

QuietMirrors::QuietMirrors(roots::Keeper& keeper, Setting setting)
    : keeper_(keeper), setting_(std::move(setting)) {
  const auto tick = [](gpointer self) -> gboolean {
    static_cast<QuietMirrors*>(self)->look();
    return G_SOURCE_CONTINUE;
  };
  const auto every = setting_.every.count();
  timer_ = every % 1000 == 0 ? g_timeout_add_seconds(static_cast<guint>(every / 1000), tick, this)
                             : g_timeout_add(static_cast<guint>(every), tick, this);
}

QuietMirrors::~QuietMirrors() {
  g_source_remove(timer_);
  stop_ = true;
  if (worker_.joinable()) worker_.join();
  // A round done while the loop was not run again: never told.
  while (g_idle_remove_by_data(this)) {
  }
}

void QuietMirrors::look() {
  if (running_) return;  // the last round is still pushing
  auto roots = keeper_.roots();
  if (!roots.ok()) return;
  const std::int64_t now = setting_.now();
  jobs_.clear();
  Setting::Mirrors failures;
  bool allListed = true;
  for (const auto& root : *roots) {
    auto listed = roots::mirrors::list(keeper_.container(), root.path);
    if (!listed.ok() || listed->empty()) {
      allListed = false;
      continue;
    }
    const bool pushing = !root.isPaused && !setting_.busy(root.path);
    for (const auto& mirror : listed->front().mirrors) {
      failures[{root.path, mirror.url}] = mirror.failures;
      // Pushed by hand since it last failed here: its waits are over.
      if (mirror.failures == 0 && backoff_.failing(root.path, mirror.url)) {
        backoff_.succeeded(root.path, mirror.url, now);
      }
      if (pushing && mirror.unpushed > 0 && backoff_.due(root.path, mirror.url, now)) {
        jobs_.push_back({root.path, mirror.url, Status()});
      }
    }
  }
  if (allListed && setting_.listed) setting_.listed(failures);
  if (jobs_.empty()) {
    ++rounds_;
    return;
  }
  running_ = true;
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this] {
    for (Job& job : jobs_) {
      if (stop_) break;
      job.status =
          roots::mirrors::pushOne(keeper_.container(), job.root, job.url, {}, &stop_).status();
    }
    g_idle_add(
        [](gpointer self) -> gboolean {
          static_cast<QuietMirrors*>(self)->finish();
          return G_SOURCE_REMOVE;
        },
        this);
  });
}

void QuietMirrors::finish() {
  worker_.join();
  running_ = false;
  const std::int64_t now = setting_.now();
  for (const Job& job : jobs_) {
    int failures = 0;
    if (job.status.ok()) {
      backoff_.succeeded(job.root, job.url, now);
    } else {
      failures = backoff_.failed(job.root, job.url, now);
    }
    setting_.pushed(job.root, job.url, job.status, failures);
  }
  ++rounds_;
}

}  // namespace tarvine::app
