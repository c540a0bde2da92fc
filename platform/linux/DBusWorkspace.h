#pragma once

#include <optional>
#include <string>

#include "platform/Workspace.h"

typedef struct _GDBusConnection GDBusConnection;

namespace tarvine {

// Applications of the session as D-Bus sees them: an application runs when
// its identifier owns that name on the session bus. Every bus call is bounded
// by a timeout, and no bus is ever autolaunched, so that a missing or wedged
// bus cannot freeze the file manager.
class DBusWorkspace : public Workspace {
 public:
  explicit DBusWorkspace(int timeoutMilliseconds = 500);
  ~DBusWorkspace() override;
  DBusWorkspace(const DBusWorkspace&) = delete;
  DBusWorkspace& operator=(const DBusWorkspace&) = delete;

  // DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus when that socket exists;
  // absent for none, and for an address that would autolaunch a bus.
  static std::optional<std::string> sessionBusAddress();

  bool isApplicationRunning(std::string_view bundleIdentifier) override;
  // The application is a bundle whose Contents/Info.plist names CFBundleIdentifier
  // and CFBundleExecutable. A running one is sent org.freedesktop.Application.Activate
  // without waiting for a reply; otherwise Contents/MacOS/EXECUTABLE is started
  // detached. Every failure is dropped silently.
  void openApplication(const FileURL& url, bool activates) override;

  // An application bundle as the launcher sees it: its identifier, whether
  // that can be a bus name, and the program to start.
  struct Application {
    std::string identifier;
    bool hasBusName = false;
    std::string executable;
  };
  // Absent when the bundle's Contents/Info.plist lacks either key, or names a
  // program outside Contents/MacOS.
  static std::optional<Application> applicationAt(const FileURL& url);
  // org.freedesktop.Application.Activate to `identifier`, sent without waiting.
  static void sendActivate(GDBusConnection* bus, const std::string& identifier);

  // Whether a session bus answers a call within the timeout: absent, wedged and
  // refusing buses all give false.
  bool busAnswers();

  // Waits, at most the timeout, until messages already sent have left the process.
  void flush();

 private:
  GDBusConnection* connection();
  bool ownsName(GDBusConnection* bus, const std::string& name);

  int timeoutMilliseconds_;
  GDBusConnection* connection_ = nullptr;
};

}  // namespace tarvine
