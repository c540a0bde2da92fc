#pragma once

#include <sys/types.h>

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

#include "foundation/Status.h"
#include "roots/Container.h"

namespace tarvine::roots {

// The user's settings of the application, kept in a small file of the group
// container that the command line (and the window) write and the running
// application reads again whenever it changes. A setting never written has
// its default; keys this version does not know are kept as they are.
struct Preferences {
  // Whether the application tells the desktop what went wrong and what a
  // restore did (its notifications).
  bool notifications = true;

  static constexpr std::string_view fileName = "preferences.json";

  // The container's preferences: the defaults when none were written yet; a
  // failure of kind damaged when the file is not what this writes.
  static Result<Preferences> read(const std::string& container);
  // Changes them under the container's lock: read, `change` applied, written
  // atomically and synced, so that a crash leaves the old file or the new one.
  // A damaged file is replaced, starting from the defaults.
  static Status change(const Container& container, const std::function<void(Preferences&)>& change);
};

// The preferences as last read, read again only once the file is another one
// (it is replaced whole) or was changed; while it cannot be read, the last
// preferences read stay (the defaults at first).
class PreferencesFile {
 public:
  explicit PreferencesFile(std::string container) : container_(std::move(container)) {}
  const Preferences& current();

 private:
  std::string container_;
  Preferences current_;
  bool seen_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  timespec changed_{};
};

}  // namespace tarvine::roots
