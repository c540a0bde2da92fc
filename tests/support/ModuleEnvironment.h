#pragma once

// A process set up as a file manager's is for a Tarvine module: a private
// session bus on which the test plays the main application, a data home with
// the manifest, the build's bundle, and a watched root in the user's real home
// (the registered scope). Made once per test suite, before any module starts.

#include <gio/gio.h>

#include <cstddef>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

namespace tarvine::testing {

// The finished requests in `spool` ("NAME.json"; a writer's hidden temporary
// file is not one yet), by path; none when there is no spool.
std::vector<std::string> finishedRequests(const std::string& spool);

class ModuleEnvironment {
 public:
  // `appex`: the extension bundle the module is to find.
  explicit ModuleEnvironment(const std::string& appex);
  ~ModuleEnvironment();
  ModuleEnvironment(const ModuleEnvironment&) = delete;
  ModuleEnvironment& operator=(const ModuleEnvironment&) = delete;

  // Whether the main application owns its bus name.
  void own(bool owned);
  // The file URI of `relative` below the folder that holds the watched root
  // "watched" (manual) and the unwatched "outside".
  std::string uri(const std::string& relative) const;
  const std::string& root() const { return root_; }
  // The requests in the spool once there are `count` (commands are carried
  // out on the extension's thread, after the call returned); they are removed.
  std::vector<nlohmann::json> requests(std::size_t count = 0);

  // Runs the default main context, as the file manager's loop would, until
  // `done` holds or five seconds have passed; whether it holds.
  static bool iterateUntil(const std::function<bool()>& done);

 private:
  PrivateBus bus_;
  TempDir data_;
  std::string root_;
  GDBusConnection* application_ = nullptr;
  guint nameId_ = 0;
};

}  // namespace tarvine::testing
