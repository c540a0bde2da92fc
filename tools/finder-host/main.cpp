// finder-host: stands in for the file manager. It links the extension's core,
// creates one extension object for the whole run and drives it with commands.

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "extension/FinderSync.h"
#include "platform/linux/DBusWorkspace.h"
#include "platform/linux/LibuuidGenerator.h"
#include "platform/linux/LinuxBookmarks.h"
#include "platform/linux/PlistBundle.h"
#include "platform/linux/SyslogLog.h"
#include "platform/linux/SystemClock.h"
#include "platform/posix/PosixFileSystem.h"
#include "tools/finder-host/FinderHost.h"

namespace {

constexpr const char* kUsage =
    "usage: finder-host [--json] [-e COMMAND]... EXTENSION_BUNDLE\n"
    "Commands (from -e, else one per line on standard input):\n"
    "  scope | toolbar | select [PATH...] | target [PATH] | menu KIND\n"
    "  pick INDEX[.INDEX] | send SELECTOR\n";

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> commands;
  std::string bundlePath;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "-e") {
      if (i + 1 >= argc) {
        std::cerr << "finder-host: -e needs a command\n" << kUsage;
        return 2;
      }
      commands.emplace_back(argv[++i]);
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      std::cerr << "finder-host: unknown option " << arg << "\n" << kUsage;
      return 2;
    } else if (bundlePath.empty()) {
      bundlePath = arg;
    } else {
      std::cerr << "finder-host: only one extension bundle may be given\n" << kUsage;
      return 2;
    }
  }
  if (bundlePath.empty()) {
    std::cerr << kUsage;
    return 2;
  }

  tarvine::PlistBundle bundle(bundlePath, tarvine::PlistBundle::languagesFromEnvironment());
  if (!bundle.isLoadable()) {
    std::cerr << "finder-host: " << bundlePath
              << " is not a readable bundle (no Contents/Info.plist dictionary)\n";
    return 2;
  }
  tarvine::PosixFileSystem fileSystem(tarvine::PosixFileSystem::dataHomeFromEnvironment());
  tarvine::DBusWorkspace workspace;
  tarvine::LinuxBookmarks bookmarks;
  tarvine::SyslogLog log(/*copyToStandardError=*/true);
  tarvine::SystemClock clock;
  tarvine::LibuuidGenerator uuids;
  tarvine::FinderHost host(json);
  tarvine::Services services{host, bundle, fileSystem, workspace, bookmarks, log, clock, uuids};
  tarvine::Identifiers identifiers(bundle, fileSystem, tarvine::Identifiers::processWide());
  tarvine::FinderSync extension(services, identifiers);
  host.attach(extension);

  bool allOk = true;
  auto run = [&](const std::string& commandLine) {
    tarvine::FinderHost::Answer answer = host.executeLine(commandLine);
    allOk = allOk && answer.ok;
    (answer.ok || json ? std::cout : std::cerr) << answer.text << std::endl;
  };
  if (!commands.empty()) {
    for (const std::string& command : commands) run(command);
  } else {
    std::string commandLine;
    while (std::getline(std::cin, commandLine)) {
      if (!commandLine.empty() && commandLine.back() == '\r') commandLine.pop_back();  // CRLF input
      if (commandLine.find_first_not_of(" \t\r") == std::string::npos) continue;
      run(commandLine);
    }
  }
  workspace.flush();
  return allOk ? 0 : 1;
}
