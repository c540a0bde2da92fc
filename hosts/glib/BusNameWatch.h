#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Workspace.h"

typedef struct _GCancellable GCancellable;
typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

namespace tarvine {

// Running applications for a file manager that lives for hours: whether an
// application runs is kept current by a watch of its bus name, driven by the
// main context that was the thread's default when the watch was made (the
// extension's own thread), so a menu never waits on the bus. The bus is
// reached asynchronously; when there is none, or it is wedged, nothing runs.
// When the bus goes away the watch connects again, waiting longer each time.
// Every call must come from the thread that made the watch.
class BusNameWatch : public Workspace {
 public:
  // How long the first answer may take before the watch counts as settled with
  // nothing running (a wedged bus accepts and never answers).
  static constexpr unsigned settleTimeoutMilliseconds = 1000;
  // The first and the longest wait before connecting again.
  static constexpr unsigned firstRetryMilliseconds = 250;
  static constexpr unsigned longestRetryMilliseconds = 30000;

  // Starts connecting on the thread-default main context.
  BusNameWatch();
  ~BusNameWatch() override;
  BusNameWatch(const BusNameWatch&) = delete;
  BusNameWatch& operator=(const BusNameWatch&) = delete;

  // Starts watching `name`, if it is not watched yet.
  void watch(const std::string& name);

  // Called once the watches have their first answer (or the bus none), and at
  // once if that has already happened.
  void whenSettled(std::function<void()> callback);
  bool settled() const { return settled_; }
  // Called whenever a watched name gains or loses its owner.
  void onChange(std::function<void()> callback) { changed_ = std::move(callback); }

  // What the watch last saw; a name not watched yet is watched from now on.
  bool isApplicationRunning(std::string_view bundleIdentifier) override;
  // Activates a running application with a message that expects no reply, or
  // starts it detached, reaping the intermediate process from the main loop.
  void openApplication(const FileURL& url, bool activates) override;

 private:
  struct Watch {
    unsigned id = 0;
    bool owned = false;
    bool answered = false;
    BusNameWatch* watcher = nullptr;
  };
  void connect();
  static void connected(GDBusConnection* bus, BusNameWatch* self);
  void disconnected();
  void retryLater();
  void startWatch(const std::string& name, Watch& watch);
  void answered(Watch& watch, bool owned);
  void settle();
  // Calls `Fire` once after `milliseconds` on the watch's context, the source
  // kept in `Slot` until then (so that it can be cancelled).
  template <GSource* BusNameWatch::*Slot, void (BusNameWatch::*Fire)()>
  void after(unsigned milliseconds);

  GMainContext* context_;
  GCancellable* cancellable_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  unsigned long closedHandler_ = 0;
  GSource* retry_ = nullptr;
  GSource* settleTimer_ = nullptr;
  unsigned nextRetry_ = firstRetryMilliseconds;
  bool settled_ = false;
  std::vector<std::function<void()>> whenSettled_;
  std::function<void()> changed_;
  std::map<std::string, Watch, std::less<>> watches_;
};

}  // namespace tarvine
