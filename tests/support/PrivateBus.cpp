#include "tests/support/PrivateBus.h"

#include <signal.h>

#include <stdexcept>

namespace tarvine::testing {

PrivateBus::PrivateBus() {
  gchar* out = nullptr;
  const char* argv[] = {"dbus-daemon",       "--session",     "--fork",
                        "--print-address=1", "--print-pid=1", nullptr};
  if (!g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                    nullptr, &out, nullptr, nullptr, nullptr)) {
    throw std::runtime_error("cannot start dbus-daemon");
  }
  std::string lines = out;
  g_free(out);
  address_ = lines.substr(0, lines.find('\n'));
  pid_ = std::stoi(lines.substr(lines.find('\n') + 1));
  g_setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
}

PrivateBus::~PrivateBus() { ::kill(pid_, SIGTERM); }

GDBusConnection* PrivateBus::connect() const {
  return g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

}  // namespace tarvine::testing
