#include "hosts/glib/ExtensionWorker.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/linux/SyslogSocketLog.h"

namespace tarvine {

// What the thread and its callers share. The thread keeps it alive, so that a
// worker left stuck at stop never reaches freed memory.
struct ExtensionWorker::State {
  GMainContext* context = g_main_context_new();
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  std::function<void()> changed;

  std::mutex mutex;
  std::deque<Task> tasks;
  bool stopping = false;
  // Failures on the interface thread, counted there and said from here.
  std::array<std::atomic<std::size_t>, static_cast<std::size_t>(GuardedCall::count)> reported{};

  // Worker thread only.
  std::unique_ptr<HostExtension> extension;
  // Where there is no extension, its log went with it: the worker says why in
  // a log of its own, the nearest owner there is.
  SyslogSocketLog ownLog;
  FailureLog ownFailures{ownLog};
  bool ready = false;
  std::promise<void> finished;
  // Read by askers, who wait longer until it is set.
  std::atomic<bool> started = false;

  ~State() {
    g_main_loop_unref(loop);
    g_main_context_unref(context);
  }

  // Worker thread only: said in the extension's log, or the worker's own.
  void failed(GuardedCall call, std::string_view reason, std::size_t times = 1) noexcept {
    if (extension) {
      extension->failed(call, reason, times);
    } else {
      ownFailures.failed(call, reason, times);
    }
  }

  void sayReportedFailures() noexcept {
    for (std::size_t index = 0; index < reported.size(); ++index) {
      if (const std::size_t times = reported[index].exchange(0)) {
        failed(static_cast<GuardedCall>(index), {}, times);
      }
    }
  }

  // Runs what is queued, in order, once the extension knows whether the main
  // application runs: a command before that would start a second one.
  void drain() {
    sayReportedFailures();
    for (;;) {
      Task task;
      {
        std::lock_guard lock(mutex);
        if ((!ready && !stopping) || tasks.empty()) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      try {
        task(extension.get());
      } catch (...) {
        // A failed task is a command dropped (menus catch their own); the
        // file manager carries on.
        failed(GuardedCall::command, FailureLog::currentReason());
      }
    }
  }

  // From any thread: the worker drains the queue soon.
  void wake() {
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer self) {
          static_cast<State*>(self)->drain();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(source, context);
    g_source_unref(source);
  }

  void run(const Factory& make) {
    g_main_context_push_thread_default(context);
    try {
      extension = make();
    } catch (...) {
      // Menus have no History in this process; it is said once, as the
      // extension is made once.
      extension.reset();
      failed(GuardedCall::start, FailureLog::currentReason());
    }
    if (extension) {
      extension->onChange([this] {
        if (changed) changed();
      });
      extension->whenReady([this] {
        {
          std::lock_guard lock(mutex);
          ready = true;
        }
        started = true;
        drain();
      });
    } else {
      std::lock_guard lock(mutex);
      ready = true;
      started = true;
    }
    drain();
    g_main_loop_run(loop);
    drain();
    extension.reset();
    g_main_context_pop_thread_default(context);
    finished.set_value();
  }
};

namespace {

constexpr std::chrono::microseconds kSpin{100};

// A menu asked for and maybe answered; the asker may have stopped waiting.
struct Answer {
  std::mutex mutex;
  std::condition_variable done;
  std::atomic<bool> ready = false;  // set with `answered`, read without the lock
  bool answered = false;
  bool abandoned = false;
  std::optional<HostMenu> menu;
};

}  // namespace

ExtensionWorker::ExtensionWorker(Factory make, std::function<void()> changed,
                                 std::chrono::milliseconds bound)
    : state_(std::make_shared<State>()), bound_(bound) {
  state_->changed = std::move(changed);
  done_ = state_->finished.get_future();
  thread_ = std::thread([state = state_, make = std::move(make)] { state->run(make); });
}

ExtensionWorker::~ExtensionWorker() { stop(); }

void ExtensionWorker::stop() {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->stopping = true;
    // Last in the queue: everything given before it is carried out first.
    state_->tasks.push_back(
        [state = state_.get()](HostExtension*) { g_main_loop_quit(state->loop); });
  }
  state_->wake();
  if (done_.wait_for(drainBound) == std::future_status::ready) {
    thread_.join();
  } else {
    // Stuck in a system call: it finishes on its own, holding the state.
    thread_.detach();
  }
}

bool ExtensionWorker::post(Task task) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return false;
    state_->tasks.push_back(std::move(task));
  }
  state_->wake();
  return true;
}

std::optional<HostMenu> ExtensionWorker::ask(
    std::function<std::optional<HostMenu>(HostExtension&)> question) {
  auto answer = std::make_shared<Answer>();
  const bool posted = post([answer, question = std::move(question)](HostExtension* extension) {
    {
      std::lock_guard lock(answer->mutex);
      // Nobody waits any more; the work that matters (loading the manifest)
      // was done for an earlier menu or will be for a later one.
      if (answer->abandoned) return;
    }
    std::optional<HostMenu> menu;
    try {
      if (extension != nullptr) menu = question(*extension);
    } catch (...) {
      // A menu without History.
      menu.reset();
      extension->failed(GuardedCall::menu, FailureLog::currentReason());
    }
    std::lock_guard lock(answer->mutex);
    answer->menu = std::move(menu);
    answer->answered = true;
    answer->ready = true;
    answer->done.notify_one();
  });
  if (!posted) return std::nullopt;
  // A cache hit takes the worker a few microseconds: looking for it briefly
  // spares the asker a sleep and a wake-up, the larger part of the hand-off.
  const auto spinUntil = std::chrono::steady_clock::now() + kSpin;
  while (!answer->ready && std::chrono::steady_clock::now() < spinUntil) {
  }
  std::unique_lock lock(answer->mutex);
  const auto bound = state_->started ? bound_ : std::max(bound_, startBound);
  if (!answer->done.wait_for(lock, bound, [&] { return answer->answered; })) {
    answer->abandoned = true;
    return std::nullopt;
  }
  return std::move(answer->menu);
}

std::optional<HostMenu> ExtensionWorker::menuForSelection(std::vector<FileManagerItem> items) {
  // Asked once: the items move on to the extension, which keeps the last ones.
  return ask([items = std::move(items)](HostExtension& extension) mutable {
    return extension.menuForSelection(std::move(items));
  });
}

std::optional<HostMenu> ExtensionWorker::menuForFolder(FileManagerItem folder) {
  return ask([folder = std::move(folder)](HostExtension& extension) {
    return extension.menuForFolder(folder);
  });
}

void ExtensionWorker::failed(GuardedCall call) noexcept {
  const auto index = static_cast<std::size_t>(call);
  if (index >= state_->reported.size()) return;
  ++state_->reported[index];
  // An idle source, as for a task: GLib aborts rather than throws when it
  // cannot allocate one.
  state_->wake();
}

void ExtensionWorker::perform(std::shared_ptr<const CapturedSelection> selection,
                              Selector selector) {
  (void)post([selection = std::move(selection), selector](HostExtension* extension) {
    if (extension != nullptr) extension->perform(*selection, selector);
  });
}

}  // namespace tarvine
