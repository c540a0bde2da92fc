// tarvine: the version history of watched folders, from the command line.

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/HistoryModel.h"
#include "app/Keeper.h"
#include "foundation/Iso8601.h"
#include "shared/Identifiers.h"

namespace {

using tarvine::app::Container;
using tarvine::app::Keeper;

constexpr const char* kUsage = R"(usage: tarvine [--json] [--group GROUP] COMMAND ...

Keeps the version history of the folders you watch; the file managers'
History menu does the same. Each folder's history is a git repository in
$XDG_DATA_HOME/GROUP/history/.

  watch [--manual] FOLDER   keep FOLDER's history (automatic snapshots unless
                            --manual); a paused folder resumes; takes a first snapshot
  pause FOLDER              take no more snapshots of FOLDER; its history stays
  resume FOLDER             take snapshots of a paused FOLDER again
  unwatch FOLDER            forget FOLDER; its history stays
  mode FOLDER automatic|manual
  snapshot PATH             a snapshot of the watched folder that holds PATH, now
  log PATH                  PATH's versions, newest first
  restore PATH [VERSION]    PATH back to VERSION, or to its previous version; the
                            current state is kept first, so a restore can be undone
  cat PATH VERSION          the file PATH as it was in VERSION, on standard output
  history PATH              PATH's versions in a window, to open or restore one
  roots                     the watched folders
  ignore-file FOLDER        the file of FOLDER's ignore rules (.gitignore syntax;
                            nothing is left out unless listed there)
  pack FOLDER               pack FOLDER's whole history into one, as git gc does
                            (snapshots pack new objects on their own)

--json prints what happened as JSON, for scripts. Exits 1 when a command
fails, 2 on a usage error.
)";

int usage(const std::string& problem) {
  std::cerr << "tarvine: " << problem << "\n\n" << kUsage;
  return 2;
}

int report(const Keeper::Outcome& outcome, bool json) {
  if (json) {
    std::cout << nlohmann::json{{"ok", outcome.ok}, {"messages", outcome.lines}}.dump() << "\n";
  } else {
    for (const std::string& line : outcome.lines)
      (outcome.ok ? std::cout : std::cerr) << line << "\n";
  }
  return outcome.ok ? 0 : 1;
}

int log(Keeper& keeper, const std::string& path, bool json) {
  if (!json) return report(keeper.versions(path), false);
  nlohmann::json list = nlohmann::json::array();
  Keeper::Outcome found = keeper.withHistory(path, false, [&](auto& history, const auto& place) {
    auto versions = history.versions(place.relative);
    if (!versions.ok()) return Keeper::Outcome{false, {versions.status().message()}};
    for (const auto& version : *versions) {
      static const char* changes[] = {"added", "modified", "deleted"};
      nlohmann::json entry{
          {"id", version.id},
          {"time",
           tarvine::Iso8601::format(tarvine::Timestamp::fromUnix(version.time)).value_or("")},
          {"reason", std::string(tarvine::history::reasonName(version.reason))},
          {"change", changes[static_cast<int>(version.change)]}};
      if (version.size) entry["size"] = *version.size;
      list.push_back(entry);
    }
    return Keeper::Outcome{};
  });
  if (!found.ok) return report(found, true);
  std::cout << nlohmann::json{{"ok", true}, {"path", path}, {"versions", list}}.dump() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string group(tarvine::Identifiers::defaultAppGroupIdentifier);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--group" && i + 1 < argc) {
      group = argv[++i];
    } else if (arg != "--manual" && arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) return usage("no command");
  const std::string command = args[0];
  const bool manual = std::erase(args, "--manual") > 0;
  if (manual && command != "watch") return usage("--manual goes with watch");
  auto wants = [&](std::size_t least, std::size_t most) {
    return args.size() - 1 >= least && args.size() - 1 <= most;
  };
  Keeper keeper(Container::forGroup(group));

  if (command == "roots" && wants(0, 0)) {
    auto roots = keeper.container().roots();
    if (!roots.ok()) return report({false, {roots.status().message()}}, json);
    if (json) {
      nlohmann::json list = nlohmann::json::array();
      for (const auto& root : *roots) {
        list.push_back({{"path", root.path},
                        {"isPaused", root.isPaused},
                        {"mode", root.mode.value_or("automatic")}});
      }
      std::cout << nlohmann::json{{"ok", true}, {"roots", list}}.dump() << "\n";
    } else {
      for (const auto& root : *roots) {
        std::cout << root.path << " (" << root.mode.value_or("automatic")
                  << (root.isPaused ? ", paused" : "") << ")\n";
      }
    }
    return 0;
  }
  if ((command == "pack" || command == "ignore-file") && wants(1, 1)) {
    const std::string folder = tarvine::app::resolvedPath(args[1]);
    const bool pack = command == "pack";
    return report(keeper.withHistory(
                      folder, pack,
                      [&](auto& history, const auto& place) {
                        if (!place.relative.empty())
                          return Keeper::Outcome{false, {"not a watched folder: " + folder}};
                        if (!pack) return Keeper::Outcome{true, {history.ignoreFile()}};
                        tarvine::Status packed = history.pack();
                        return Keeper::Outcome{packed.ok(),
                                               {packed.ok() ? "packed the history of " + folder
                                                            : "cannot pack: " + packed.message()}};
                      }),
                  json);
  }
  if ((command == "watch" || command == "resume") && wants(1, 1)) {
    return report(
        keeper.watch(tarvine::app::resolvedPath(args[1]), manual ? "manual" : "automatic"), json);
  }
  if (command == "pause" && wants(1, 1))
    return report(keeper.pause(tarvine::app::resolvedPath(args[1])), json);
  if (command == "unwatch" && wants(1, 1))
    return report(keeper.unwatch(tarvine::app::resolvedPath(args[1])), json);
  if (command == "mode" && wants(2, 2)) {
    return report(keeper.setMode(tarvine::app::resolvedPath(args[1]), args[2]), json);
  }
  if (command == "snapshot" && wants(1, 1)) {
    return report(
        keeper.snapshot(tarvine::app::resolvedPath(args[1]), tarvine::history::Reason::manual),
        json);
  }
  if (command == "log" && wants(1, 1))
    return log(keeper, tarvine::app::resolvedPath(args[1]), json);
  if (command == "restore" && wants(1, 2)) {
    return report(
        keeper.restore(tarvine::app::resolvedPath(args[1]),
                       args.size() == 3 ? std::optional<std::string>(args[2]) : std::nullopt),
        json);
  }
  if (command == "history" && wants(1, 1)) {
    const std::string program = tarvine::app::historyWindowProgram();
    if (program.empty()) {
      return report({false, {"the history window is not installed (tarvine-history)"}}, json);
    }
    const std::string target = tarvine::app::resolvedPath(args[1]);
    ::execl(program.c_str(), program.c_str(), "--group", group.c_str(), target.c_str(),
            static_cast<char*>(nullptr));
    return report({false, {"cannot start " + program + ": " + std::strerror(errno)}}, json);
  }
  if (command == "cat" && wants(2, 2)) {
    Keeper::Outcome written = keeper.withHistory(
        tarvine::app::resolvedPath(args[1]), false, [&](auto& history, const auto& place) {
          tarvine::Status copied = history.writeFileVersion(args[2], place.relative, 1);
          return Keeper::Outcome{copied.ok(), {copied.ok() ? "" : copied.message()}};
        });
    return written.ok ? 0 : report(written, json);
  }
  return usage("unknown command or wrong number of arguments: " + command);
}
