#include "tests/support/PrivateBus.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tarvine::testing {

PrivateBus::PrivateBus() {
  gchar* folder = g_dir_make_tmp("tarvine-bus-XXXXXX", nullptr);
  if (folder == nullptr) throw std::runtime_error("cannot make a folder for the bus");
  socket_ = std::string(folder) + "/bus";
  g_free(folder);
  // No guid in the address, so that clients reach a restarted bus there too.
  address_ = "unix:path=" + socket_;
  start();
  g_setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), TRUE);
}

PrivateBus::~PrivateBus() {
  stop();
  ::unlink(socket_.c_str());
  ::rmdir(socket_.substr(0, socket_.rfind('/')).c_str());
}

void PrivateBus::start() {
  const std::string listen = "--address=" + address_;
  const char* argv[] = {"dbus-daemon",  "--session",     "--fork",
                        listen.c_str(), "--print-pid=1", nullptr};
  gchar* out = nullptr;
  if (!g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                    nullptr, &out, nullptr, nullptr, nullptr)) {
    throw std::runtime_error("cannot start dbus-daemon");
  }
  pid_ = std::stoi(out);
  g_free(out);
}

void PrivateBus::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  // Not our child (it forked): gone once signals find nobody.
  for (int i = 0; i < 500 && ::kill(pid_, 0) == 0; ++i) ::usleep(10'000);
  pid_ = 0;
}

void PrivateBus::restart() {
  stop();
  ::unlink(socket_.c_str());
  start();
}

GDBusConnection* PrivateBus::connect() const {
  return g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
}

}  // namespace tarvine::testing
