#include "app/QuietThinning.h"

#include <glib.h>

namespace tarvine::app {

QuietThinning::QuietThinning(roots::Keeper& keeper, Setting setting)
    : keeper_(keeper), setting_(std::move(setting)) {
  const auto tick = [](gpointer self) -> gboolean {
    static_cast<QuietThinning*>(self)->look();
    return G_SOURCE_CONTINUE;
  };
  // Whole seconds let the system wake up for several timers at once.
  const auto every = setting_.every.count();
  timer_ = every % 1000 == 0 ? g_timeout_add_seconds(static_cast<guint>(every / 1000), tick, this)
                             : g_timeout_add(static_cast<guint>(every), tick, this);
}

QuietThinning::~QuietThinning() {
  g_source_remove(timer_);
  if (idle_ != 0) g_source_remove(idle_);
}

void QuietThinning::look() {
  if (idle_ != 0) return;  // the last look is still being worked through
  auto roots = keeper_.roots();
  if (!roots.ok()) return;
  toThin_.clear();
  for (auto root = roots->rbegin(); root != roots->rend(); ++root) {
    if (!root->isPaused) toThin_.push_back(root->path);
  }
  idle_ = g_idle_add_full(
      G_PRIORITY_LOW,
      [](gpointer self) -> gboolean {
        return static_cast<QuietThinning*>(self)->next() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
      },
      this, nullptr);
}

bool QuietThinning::next() {
  if (toThin_.empty()) {
    idle_ = 0;
    ++rounds_;
    return false;
  }
  const std::string root = std::move(toThin_.back());
  toThin_.pop_back();
  if (setting_.busy(root)) return true;  // its snapshot first; looked at again next time
  const Answer answer = keeper_.thinIfDue(root, setting_.now());
  setting_.thinned(root, answer);
  return true;
}

}  // namespace tarvine::app
