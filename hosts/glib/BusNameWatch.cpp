#include "hosts/glib/BusNameWatch.h"

#include <gio/gio.h>

#include "platform/linux/DBusWorkspace.h"
#include "platform/linux/DetachedProcess.h"

namespace tarvine {

BusNameWatch::BusNameWatch() : cancellable_(g_cancellable_new()) {
  // The same address rules as the short-lived path: never an autolaunched bus.
  auto address = DBusWorkspace::sessionBusAddress();
  if (!address) return;
  g_dbus_connection_new_for_address(
      address->c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable_,
      [](GObject*, GAsyncResult* result, gpointer self) {
        GError* error = nullptr;
        GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, &error);
        // Cancelled means the watch is gone: `self` must not be touched.
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
          g_error_free(error);
          return;
        }
        g_clear_error(&error);
        if (bus != nullptr) connected(bus, self);
      },
      this);
}

BusNameWatch::~BusNameWatch() {
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  for (auto& [name, watch] : watches_) {
    if (watch.id != 0) g_bus_unwatch_name(watch.id);
  }
  if (connection_ != nullptr) g_object_unref(connection_);
}

void BusNameWatch::connected(GDBusConnection* bus, void* self) {
  auto* watcher = static_cast<BusNameWatch*>(self);
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  watcher->connection_ = bus;
  for (auto& [name, watch] : watcher->watches_) watcher->startWatch(name, watch);
}

void BusNameWatch::startWatch(const std::string& name, Watch& watch) {
  if (connection_ == nullptr || watch.id != 0) return;
  watch.id = g_bus_watch_name_on_connection(
      connection_, name.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, gpointer owned) {
        *static_cast<bool*>(owned) = true;
      },
      [](GDBusConnection*, const gchar*, gpointer owned) { *static_cast<bool*>(owned) = false; },
      &watch.owned, nullptr);
}

void BusNameWatch::watch(const std::string& name) {
  if (!g_dbus_is_name(name.c_str()) || g_dbus_is_unique_name(name.c_str())) return;
  auto [entry, added] = watches_.try_emplace(name);
  if (added) startWatch(name, entry->second);
}

bool BusNameWatch::isApplicationRunning(std::string_view bundleIdentifier) {
  auto found = watches_.find(bundleIdentifier);
  if (found == watches_.end()) {
    watch(std::string(bundleIdentifier));
    return false;
  }
  return found->second.owned;
}

void BusNameWatch::openApplication(const FileURL& url, bool activates) {
  auto application = DBusWorkspace::applicationAt(url);
  if (!application) return;
  if (application->hasBusName && connection_ != nullptr &&
      isApplicationRunning(application->identifier)) {
    if (activates) DBusWorkspace::sendActivate(connection_, application->identifier);
    return;
  }
  if (auto child = DetachedProcess::start(application->executable, {application->executable})) {
    g_child_watch_add(
        *child, [](GPid, gint, gpointer) {}, nullptr);
  }
}

}  // namespace tarvine
