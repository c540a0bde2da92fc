// tarvine: the version history of watched folders, from the command line.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "roots/Programs.h"
#include "roots/Words.h"
#include "shared/Identifiers.h"

namespace {

using tarvine::cli::Command;

constexpr std::size_t kHelpColumn = 28;

std::string usageText() {
  std::string text =
      "usage: tarvine [--json] [--group GROUP] COMMAND ...\n\n"
      "Keeps the version history of the folders you watch; the file managers'\n"
      "History menu does the same. Each folder's history is a git repository in\n"
      "$XDG_DATA_HOME/GROUP/history/.\n\n";
  for (const Command& command : tarvine::cli::commands()) {
    std::string line = "  " + std::string(command.name);
    if (!command.arguments.empty()) line += " " + std::string(command.arguments);
    std::string help(command.help);
    if (!help.empty()) {
      line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
      std::string::size_type at = 0;
      while ((at = help.find('\n', at)) != std::string::npos) {
        help.replace(at, 1, "\n" + std::string(kHelpColumn, ' '));
        at += kHelpColumn + 1;
      }
      line += help;
    }
    text += line + "\n";
  }
  return text +
         "\nWithout a command, in a desktop session, it shows the Tarvine window.\n"
         "--json prints what happened as JSON, for scripts (with the kind of failure:\n"
         "notWatched, noEarlierVersion, ...). Exits 1 when a command fails, 2 on a\n"
         "usage error.\n";
}

int usage(const std::string& problem) {
  std::cerr << "tarvine: " << problem << "\n\n" << usageText();
  return 2;
}

// Without a command, in a desktop session: the Tarvine window, as its
// desktop entry shows it. Elsewhere (a script, a terminal without a display)
// the usage, as before.
int openWindow(const std::string& group) {
  const std::string program = tarvine::roots::mainWindowProgram();
  const bool display =
      std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
  if (!display || program.empty()) return usage("no command");
  ::execl(program.c_str(), program.c_str(), "--group", group.c_str(), static_cast<char*>(nullptr));
  std::cerr << "tarvine: cannot start " << program << ": " << std::strerror(errno) << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string group(tarvine::Identifiers::defaultAppGroupIdentifier);
  bool json = false, manual = false, yes = false, orphans = false;
  bool dryRun = false;
  std::optional<std::string> version;
  bool mirror = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << usageText();
      return 0;
    }
    if (arg == "--json") {
      json = true;
    } else if (arg == "--manual") {
      manual = true;
    } else if (arg == "--yes") {
      yes = true;
    } else if (arg == "--orphans") {
      orphans = true;
    } else if (arg == "--dry-run") {
      dryRun = true;
    } else if (arg == "--mirror") {
      mirror = true;
    } else if (arg == "--version" && i + 1 < argc) {
      version = argv[++i];
    } else if (arg == "--group" && i + 1 < argc) {
      group = argv[++i];
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usage("unknown option " + arg);
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) return openWindow(group);
  const std::string name = args.front();
  args.erase(args.begin());
  if (manual && name != "watch") return usage("--manual goes with watch");
  if (yes && name != "forget") return usage("--yes goes with forget");
  if (orphans && name != "roots") return usage("--orphans goes with roots");
  if (dryRun && name != "thin") return usage("--dry-run goes with thin");
  if (version && name != "adopt") return usage("--version goes with adopt");
  if (mirror && name != "check") return usage("--mirror goes with check");
  const auto& table = tarvine::cli::commands();
  const auto command = std::find_if(table.begin(), table.end(),
                                    [&](const Command& command) { return command.name == name; });
  if (command == table.end()) return usage("unknown command " + name);
  if (args.size() < command->least || args.size() > command->most) {
    return usage("wrong number of arguments for " + name);
  }
  tarvine::roots::Keeper keeper(tarvine::roots::Container::forGroup(group));
  std::vector<tarvine::roots::Keeper::Healing> healings;
  keeper.onHealed([&](const tarvine::roots::Keeper::Healing& healing) {
    if (json) return healings.push_back(healing);
    std::cerr << "tarvine: " << tarvine::roots::words::healed(healing) << "\n";
  });
  const tarvine::cli::Context context{keeper, group,   json,   manual,  &healings,
                                      yes,    orphans, dryRun, version, mirror};
  return command->run(context, args);
}
