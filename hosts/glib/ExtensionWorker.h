#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "hosts/glib/FailureLog.h"
#include "hosts/glib/HostExtension.h"

namespace tarvine {

// The extension's own thread in a file manager's process. The HostExtension
// and every service it uses live there, with a main context of their own that
// runs whatever loop the file manager has (GTK, Qt with or without GLib). The
// file manager's interface thread only asks and waits: a menu is waited for at
// most `menuBound` (`startBound` while it starts), after which that menu has no History entry and
// the worker finishes in the background, so the next click is served from memory; a command is
// queued and the call returns at once. Commands run in the order they were given. Nothing thrown on
// the worker reaches the caller.
class ExtensionWorker {
 public:
  // How long the interface thread waits for a menu.
  static constexpr std::chrono::milliseconds menuBound{20};
  // The same until the extension has started and knows whether the main
  // application runs: Dolphin makes its plugins at the first menu, which would
  // otherwise never show History.
  static constexpr std::chrono::milliseconds startBound{250};
  // How long stopping waits for queued commands to be carried out.
  static constexpr std::chrono::seconds drainBound{3};

  using Factory = std::function<std::unique_ptr<HostExtension>()>;

  // Starts the thread, which makes the extension with `make`. `changed` is
  // called on the worker thread whenever menus may have changed.
  explicit ExtensionWorker(Factory make, std::function<void()> changed = {},
                           std::chrono::milliseconds bound = menuBound);
  // Stops as `stop` does.
  ~ExtensionWorker();
  ExtensionWorker(const ExtensionWorker&) = delete;
  ExtensionWorker& operator=(const ExtensionWorker&) = delete;

  // From the interface thread: the menu, or absent (nothing to offer, or no
  // answer within the bound).
  std::optional<HostMenu> menuForSelection(std::vector<FileManagerItem> items);
  std::optional<HostMenu> menuForFolder(FileManagerItem folder);
  // Queues a command; it is carried out with the selection its menu captured.
  void perform(std::shared_ptr<const CapturedSelection> selection, Selector selector);
  // From the interface thread, inside a catch block: a guarded call there
  // failed. It is counted at once and said in the extension's log from the
  // worker, rate-limited, so the interface thread writes nothing itself.
  // Never throws; dropped once the worker has stopped.
  void failed(GuardedCall call) noexcept;

  // Carries out what is queued (waiting at most `drainBound`), then ends the
  // thread. Later calls get no menu and queue nothing. A worker stuck in a
  // system call past the bound is left to finish on its own.
  void stop();

 private:
  struct State;
  using Task = std::function<void(HostExtension*)>;
  std::optional<HostMenu> ask(std::function<std::optional<HostMenu>(HostExtension&)> question);
  bool post(Task task);

  std::shared_ptr<State> state_;
  std::chrono::milliseconds bound_;
  std::future<void> done_;
  std::thread thread_;
};

}  // namespace tarvine
