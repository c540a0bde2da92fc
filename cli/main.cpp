// tarvine: the version history of watched folders, from the command line.

#include <glib/gi18n.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "roots/Language.h"
#include "roots/Programs.h"
#include "roots/Words.h"
#include "shared/Identifiers.h"

namespace {

using tarvine::cli::Command;
using tarvine::roots::language::formatted;

constexpr std::size_t kHelpColumn = 28;

// Columns a UTF-8 text takes in a terminal, as far as the usage's words go:
// one a character (a translation's "GRÖSSE" is six, not seven).
std::size_t columns(const std::string& text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

std::string usageText() {
  std::string text =
      _("usage: tarvine [--json] [--group GROUP] COMMAND ...\n\n"
        "Keeps the version history of the folders you watch; the file managers'\n"
        "History menu does the same. Each folder's history is a git repository in\n"
        "$XDG_DATA_HOME/GROUP/history/.\n\n");
  for (const Command& command : tarvine::cli::commands()) {
    std::string line = "  " + std::string(command.name);
    if (!command.arguments.empty()) line += " " + std::string(gettext(command.arguments.data()));
    std::string help(command.help.empty() ? "" : gettext(command.help.data()));
    if (!help.empty()) {
      line += std::string(kHelpColumn > columns(line) ? kHelpColumn - columns(line) : 1, ' ');
      std::string::size_type at = 0;
      while ((at = help.find('\n', at)) != std::string::npos) {
        help.replace(at, 1, "\n" + std::string(kHelpColumn, ' '));
        at += kHelpColumn + 1;
      }
      line += help;
    }
    text += line + "\n";
  }
  return text + _("\nWithout a command, in a desktop session, it shows the Tarvine window.\n"
                  "--json prints what happened as JSON, for scripts (with the kind of failure:\n"
                  "notWatched, noEarlierVersion, ...). Exits 1 when a command fails, 2 on a\n"
                  "usage error.\n");
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
  if (!display || program.empty()) return usage(_("no command"));
  ::execl(program.c_str(), program.c_str(), "--group", group.c_str(), static_cast<char*>(nullptr));
  std::cerr << "tarvine: "
            << formatted(_("cannot start %s: %s"), program.c_str(), std::strerror(errno)) << "\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  tarvine::roots::language::useUserLanguage();
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
      return usage(formatted(_("unknown option %s"), arg.c_str()));
    } else {
      args.push_back(arg);
    }
  }
  if (args.empty()) return openWindow(group);
  const std::string name = args.front();
  args.erase(args.begin());
  if (manual && name != "watch") return usage(formatted(_("%s goes with %s"), "--manual", "watch"));
  if (yes && name != "forget") return usage(formatted(_("%s goes with %s"), "--yes", "forget"));
  if (orphans && name != "roots")
    return usage(formatted(_("%s goes with %s"), "--orphans", "roots"));
  if (dryRun && name != "thin") return usage(formatted(_("%s goes with %s"), "--dry-run", "thin"));
  if (version && name != "adopt")
    return usage(formatted(_("%s goes with %s"), "--version", "adopt"));
  if (mirror && name != "check") return usage(formatted(_("%s goes with %s"), "--mirror", "check"));
  const auto& table = tarvine::cli::commands();
  const auto command = std::find_if(table.begin(), table.end(),
                                    [&](const Command& command) { return command.name == name; });
  if (command == table.end()) return usage(formatted(_("unknown command %s"), name.c_str()));
  if (args.size() < command->least || args.size() > command->most) {
    return usage(formatted(_("wrong number of arguments for %s"), name.c_str()));
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
