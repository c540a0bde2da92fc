#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvine {

// Starting a program that outlives its starter and owes it nothing.
class DetachedProcess {
 public:
  // Starts `executable` with `arguments` (argv[0] included) in its own session,
  // in the user's home directory (never the starter's working folder, which it
  // would keep busy), with /dev/null as standard input, output and error and no
  // other inherited descriptor. The starter's signal mask and dispositions are
  // left as they were. Returns without waiting for it; no zombie is left behind.
  // False when the program could not even be forked.
  static bool spawn(const std::string& executable, const std::vector<std::string>& arguments);

  // The same without waiting: returns the short-lived intermediate process,
  // which the caller must reap (for example with a GLib child watch), or
  // absent when it could not be forked.
  static std::optional<pid_t> start(const std::string& executable,
                                    const std::vector<std::string>& arguments);
};

}  // namespace tarvine
