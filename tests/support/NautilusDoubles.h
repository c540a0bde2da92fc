#pragma once

// What Nautilus gives a module, played by the tests and the benchmarks: file
// infos, the type module, the loading of the module's entry points, and a
// private session bus on which the main application's name can be owned.

#include <gio/gio.h>

extern "C" {
#include <nautilus-extension.h>
}

#include <string>

namespace tarvine::testing {

// A file as Nautilus reports it: only its URI and whether it is a folder.
NautilusFileInfo* nautilusFileInfo(const std::string& uri, bool directory);

// Loads the module at `path` as Nautilus does and makes its one menu provider.
NautilusMenuProvider* loadNautilusProvider(const char* path);

// A dbus-daemon of our own, as the session bus of this process from now on.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  // A connection of its own, as another process's would be.
  GDBusConnection* connect() const;

 private:
  std::string address_;
  int pid_ = 0;
};

}  // namespace tarvine::testing
