#include "platform/linux/DBusWorkspace.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "platform/linux/DetachedProcess.h"
#include "platform/linux/PlistBundle.h"

namespace tarvine {
namespace {

// An asynchronous GIO operation run on a private main context until it
// finishes or the deadline passes. The state lives on the heap because a
// cancelled operation may still call back after we stopped waiting.
struct Pending {
  bool done = false;
  bool abandoned = false;
  GObject* result = nullptr;  // the connection, for a connect
};

void finishIn(Pending* pending, GObject* result) {
  if (pending->abandoned) {
    if (result != nullptr) g_object_unref(result);
    delete pending;
    return;
  }
  pending->result = result;
  pending->done = true;
}

// Iterates `context` until `pending` is done or `deadline` (monotonic µs) passes.
bool waitUntil(GMainContext* context, Pending* pending, gint64 deadline) {
  while (!pending->done) {
    gint64 remaining = deadline - g_get_monotonic_time();
    if (remaining <= 0) return false;
    GSource* timer = g_timeout_source_new(static_cast<guint>(remaining / 1000 + 1));
    g_source_set_callback(
        timer, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(timer, context);
    g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
  }
  return true;
}

GDBusConnection* connectWithTimeout(const std::string& address, int timeoutMs) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  auto* pending = new Pending;
  g_dbus_connection_new_for_address(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, cancellable,
      [](GObject*, GAsyncResult* result, gpointer data) {
        GDBusConnection* bus = g_dbus_connection_new_for_address_finish(result, nullptr);
        finishIn(static_cast<Pending*>(data), bus != nullptr ? G_OBJECT(bus) : nullptr);
      },
      pending);
  gint64 deadline = g_get_monotonic_time() + gint64{timeoutMs} * 1000;
  GDBusConnection* bus = nullptr;
  if (waitUntil(context, pending, deadline)) {
    bus = pending->result != nullptr ? G_DBUS_CONNECTION(pending->result) : nullptr;
    delete pending;
  } else {
    g_cancellable_cancel(cancellable);
    // Give the cancellation a moment to land; otherwise leave the state to the callback.
    if (waitUntil(context, pending, g_get_monotonic_time() + 100'000)) {
      if (pending->result != nullptr) g_object_unref(pending->result);
      delete pending;
    } else {
      pending->abandoned = true;
    }
  }
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  if (bus != nullptr) g_dbus_connection_set_exit_on_close(bus, FALSE);
  return bus;
}

bool isSocket(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// GApplication's object path for an application identifier.
std::string objectPathFor(const std::string& identifier) {
  std::string path = "/" + identifier;
  for (char& c : path) {
    if (c == '.') c = '/';
    if (c == '-') c = '_';
  }
  return path;
}

bool isApplicationName(const std::string& name) {
  return g_dbus_is_name(name.c_str()) && !g_dbus_is_unique_name(name.c_str());
}

}  // namespace

DBusWorkspace::DBusWorkspace(int timeoutMilliseconds) : timeoutMilliseconds_(timeoutMilliseconds) {}

DBusWorkspace::~DBusWorkspace() {
  if (connection_ != nullptr) g_object_unref(connection_);
}

std::optional<std::string> DBusWorkspace::sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
    std::string text = address;
    if (text.empty() || text.find("autolaunch:") != std::string::npos) return std::nullopt;
    return text;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    std::string socket = std::string(runtime) + "/bus";
    if (runtime[0] == '/' && isSocket(socket)) return "unix:path=" + socket;
  }
  return std::nullopt;
}

GDBusConnection* DBusWorkspace::connection() {
  if (connection_ != nullptr && g_dbus_connection_is_closed(connection_)) {
    g_object_unref(connection_);
    connection_ = nullptr;
  }
  if (connection_ == nullptr) {
    if (auto address = sessionBusAddress()) {
      connection_ = connectWithTimeout(*address, timeoutMilliseconds_);
    }
  }
  return connection_;
}

bool DBusWorkspace::ownsName(GDBusConnection* bus, const std::string& name) {
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NO_AUTO_START,
      timeoutMilliseconds_, nullptr, nullptr);
  if (reply == nullptr) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

bool DBusWorkspace::isApplicationRunning(std::string_view bundleIdentifier) {
  std::string name(bundleIdentifier);
  if (!isApplicationName(name)) return false;
  GDBusConnection* bus = connection();
  return bus != nullptr && ownsName(bus, name);
}

std::optional<DBusWorkspace::Application> DBusWorkspace::applicationAt(const FileURL& url) {
  PlistBundle application(url.path(), {});
  auto identifier = application.bundleIdentifier();
  auto executable = application.objectForInfoDictionaryKey("CFBundleExecutable");
  if (!identifier || !executable || executable->asString() == nullptr) return std::nullopt;
  const std::string& program = *executable->asString();
  if (program.empty() || program == "." || program == ".." ||
      program.find('/') != std::string::npos) {
    return std::nullopt;
  }
  return Application{*identifier, isApplicationName(*identifier),
                     url.path() + "/Contents/MacOS/" + program};
}

void DBusWorkspace::sendActivate(GDBusConnection* bus, const std::string& identifier) {
  GDBusMessage* message =
      g_dbus_message_new_method_call(identifier.c_str(), objectPathFor(identifier).c_str(),
                                     "org.freedesktop.Application", "Activate");
  g_dbus_message_set_body(
      message, g_variant_new("(@a{sv})", g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)));
  g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
  g_dbus_connection_send_message(bus, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
  g_object_unref(message);
}

void DBusWorkspace::openApplication(const FileURL& url, bool activates) {
  auto application = applicationAt(url);
  if (!application) return;
  if (application->hasBusName) {
    if (GDBusConnection* bus = connection();
        bus != nullptr && ownsName(bus, application->identifier)) {
      if (activates) sendActivate(bus, application->identifier);
      return;
    }
  }
  DetachedProcess::spawn(application->executable, {application->executable});
}

bool DBusWorkspace::busAnswers() {
  GDBusConnection* bus = connection();
  return bus != nullptr && ownsName(bus, "org.freedesktop.DBus");
}

void DBusWorkspace::flush() {
  if (connection_ == nullptr || g_dbus_connection_is_closed(connection_)) return;
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancellable = g_cancellable_new();
  auto* pending = new Pending;
  g_dbus_connection_flush(
      connection_, cancellable,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        g_dbus_connection_flush_finish(G_DBUS_CONNECTION(source), result, nullptr);
        finishIn(static_cast<Pending*>(data), nullptr);
      },
      pending);
  if (waitUntil(context, pending, g_get_monotonic_time() + gint64{timeoutMilliseconds_} * 1000)) {
    delete pending;
  } else {
    g_cancellable_cancel(cancellable);
    pending->abandoned = true;
  }
  g_object_unref(cancellable);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

}  // namespace tarvine
