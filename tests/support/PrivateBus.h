#pragma once

#include <gio/gio.h>

#include <string>

namespace tarvine::testing {

// A dbus-daemon of our own, as the session bus of this process from now on.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  // Stops the bus, every connection to it closing, and starts a new one at the
  // same address.
  void restart();
  // A connection of its own, as another process's would be.
  GDBusConnection* connect() const;

 private:
  void start();
  void stop();

  std::string socket_;
  std::string address_;
  int pid_ = 0;
};

}  // namespace tarvine::testing
