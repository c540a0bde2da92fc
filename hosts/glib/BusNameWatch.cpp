#include "hosts/glib/BusNameWatch.h"

#include <gio/gio.h>

#include <algorithm>

#include "platform/linux/DBusWorkspace.h"
#include "platform/linux/DetachedProcess.h"

namespace tarvine {
namespace {

void destroySource(GSource*& source) {
  if (source == nullptr) return;
  g_source_destroy(source);
  g_source_unref(source);
  source = nullptr;
}

}  // namespace

template <GSource* BusNameWatch::*Slot, void (BusNameWatch::*Fire)()>
void BusNameWatch::after(unsigned milliseconds) {
  GSource* source = g_timeout_source_new(milliseconds);
  g_source_set_callback(
      source,
      [](gpointer self) {
        auto* watcher = static_cast<BusNameWatch*>(self);
        g_source_unref(watcher->*Slot);
        watcher->*Slot = nullptr;
        (watcher->*Fire)();
        return G_SOURCE_REMOVE;
      },
      this, nullptr);
  g_source_attach(source, context_);
  this->*Slot = source;
}

BusNameWatch::BusNameWatch() : context_(g_main_context_ref_thread_default()) {
  after<&BusNameWatch::settleTimer_, &BusNameWatch::settle>(settleTimeoutMilliseconds);
  connect();
}

BusNameWatch::~BusNameWatch() {
  destroySource(settleTimer_);
  destroySource(retry_);
  if (cancellable_ != nullptr) {
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
  }
  for (auto& [name, watch] : watches_) {
    if (watch.id != 0) g_bus_unwatch_name(watch.id);
  }
  if (connection_ != nullptr) {
    g_signal_handler_disconnect(connection_, closedHandler_);
    g_object_unref(connection_);
  }
  g_main_context_unref(context_);
}

void BusNameWatch::connect() {
  // The same address rules as the short-lived path: never an autolaunched bus.
  auto address = DBusWorkspace::sessionBusAddress();
  if (!address) {
    settle();
    retryLater();
    return;
  }
  if (cancellable_ != nullptr) g_object_unref(cancellable_);
  cancellable_ = g_cancellable_new();
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
        auto* watcher = static_cast<BusNameWatch*>(self);
        if (bus != nullptr) {
          connected(bus, watcher);
        } else {
          watcher->settle();
          watcher->retryLater();
        }
      },
      this);
}

void BusNameWatch::connected(GDBusConnection* bus, BusNameWatch* self) {
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  self->connection_ = bus;
  self->nextRetry_ = firstRetryMilliseconds;
  self->closedHandler_ = g_signal_connect(
      bus, "closed", G_CALLBACK(+[](GDBusConnection*, gboolean, GError*, gpointer watcher) {
        static_cast<BusNameWatch*>(watcher)->disconnected();
      }),
      self);
  if (self->watches_.empty()) self->settle();
  for (auto& [name, watch] : self->watches_) self->startWatch(name, watch);
}

void BusNameWatch::disconnected() {
  // Nothing runs without a bus; the names are watched again once it is back.
  bool wasOwned = false;
  for (auto& [name, watch] : watches_) {
    if (watch.id != 0) g_bus_unwatch_name(watch.id);
    watch.id = 0;
    wasOwned = wasOwned || watch.owned;
    watch.owned = false;
  }
  g_signal_handler_disconnect(connection_, closedHandler_);
  g_object_unref(connection_);
  connection_ = nullptr;
  retryLater();
  if (wasOwned && changed_) changed_();
}

void BusNameWatch::retryLater() {
  if (retry_ != nullptr) return;
  after<&BusNameWatch::retry_, &BusNameWatch::connect>(nextRetry_);
  nextRetry_ = std::min(nextRetry_ * 2, longestRetryMilliseconds);
}

void BusNameWatch::startWatch(const std::string& name, Watch& watch) {
  if (connection_ == nullptr || watch.id != 0) return;
  watch.watcher = this;
  watch.id = g_bus_watch_name_on_connection(
      connection_, name.c_str(), G_BUS_NAME_WATCHER_FLAGS_NONE,
      [](GDBusConnection*, const gchar*, const gchar*, gpointer entry) {
        auto* watch = static_cast<Watch*>(entry);
        watch->watcher->answered(*watch, true);
      },
      [](GDBusConnection*, const gchar*, gpointer entry) {
        auto* watch = static_cast<Watch*>(entry);
        watch->watcher->answered(*watch, false);
      },
      &watch, nullptr);
}

void BusNameWatch::answered(Watch& watch, bool owned) {
  const bool changed = watch.owned != owned;
  watch.owned = owned;
  watch.answered = true;
  if (std::all_of(watches_.begin(), watches_.end(),
                  [](const auto& entry) { return entry.second.answered; })) {
    settle();
  }
  if (changed && changed_) changed_();
}

void BusNameWatch::settle() {
  if (settled_) return;
  settled_ = true;
  destroySource(settleTimer_);
  auto callbacks = std::move(whenSettled_);
  whenSettled_.clear();
  for (auto& callback : callbacks) callback();
}

void BusNameWatch::whenSettled(std::function<void()> callback) {
  if (settled_) {
    callback();
  } else {
    whenSettled_.push_back(std::move(callback));
  }
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
  auto child = DetachedProcess::start(application->executable, {application->executable});
  if (!child) return;
  // Reaped on this thread's context, which runs whatever loop the file manager has.
  GSource* reaper = g_child_watch_source_new(*child);
  GChildWatchFunc reaped = [](GPid, gint, gpointer) {};
  g_source_set_callback(reaper, G_SOURCE_FUNC(reaped), nullptr, nullptr);
  g_source_attach(reaper, context_);
  g_source_unref(reaper);
}

}  // namespace tarvine
