#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Workspace.h"

typedef struct _GCancellable GCancellable;
typedef struct _GDBusConnection GDBusConnection;

namespace tarvine {

// Running applications for a file manager that lives for hours: whether an
// application runs is kept current by a watch of its bus name, driven by the
// file manager's own main loop, so a menu never waits on the bus. The bus is
// reached asynchronously; until it answers, or when there is none or it is
// wedged, nothing runs. Nothing here blocks or waits on another process.
class BusNameWatch : public Workspace {
 public:
  // Starts connecting on the thread-default main context.
  BusNameWatch();
  ~BusNameWatch() override;
  BusNameWatch(const BusNameWatch&) = delete;
  BusNameWatch& operator=(const BusNameWatch&) = delete;

  // Starts watching `name`, if it is not watched yet.
  void watch(const std::string& name);

  // What the watch last saw; a name not watched yet is watched from now on.
  bool isApplicationRunning(std::string_view bundleIdentifier) override;
  // Activates a running application with a message that expects no reply, or
  // starts it detached, reaping the intermediate process from the main loop.
  void openApplication(const FileURL& url, bool activates) override;

 private:
  struct Watch {
    unsigned id = 0;
    bool owned = false;
  };
  static void connected(GDBusConnection* bus, void* self);
  void startWatch(const std::string& name, Watch& watch);

  GCancellable* cancellable_;
  GDBusConnection* connection_ = nullptr;
  std::map<std::string, Watch, std::less<>> watches_;
};

}  // namespace tarvine
