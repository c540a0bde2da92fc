#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Status.h"
#include "roots/Keeper.h"

namespace tarvine::cli {

// What every command is given: the door to the histories and how to answer.
struct Context {
  roots::Keeper& keeper;
  std::string group;
  bool json = false;
  bool manual = false;  // watch --manual
  // Histories healed while the command ran; under --json they are part of
  // the answer (otherwise they are said on standard error as they happen).
  const std::vector<roots::Keeper::Healing>* healings = nullptr;
  bool yes = false;                    // forget --yes: no question asked
  bool orphans = false;                // roots --orphans
  bool dryRun = false;                 // thin --dry-run
  std::optional<std::string> version;  // adopt --version
  bool mirror = false;                 // check --mirror

  // Prints what was done (standard output, or JSON) and gives exit status 0.
  int done(const std::vector<std::string>& lines) const;
  // Prints why nothing (or not everything) was done, with its kind under
  // --json, and gives exit status 1; `lines` say what was done before.
  int failed(const Status& status, std::vector<std::string> lines = {}) const;
};

struct Command {
  std::string_view name;
  // Both are literals marked N_(): the usage shows them translated.
  std::string_view arguments;  // as the usage shows them
  std::string_view help;       // what it does, in a line or two
  std::size_t least, most;     // how many arguments it takes
  int (*run)(const Context& context, const std::vector<std::string>& arguments);
};

// Every command, in the order the usage lists them.
std::span<const Command> commands();

}  // namespace tarvine::cli
