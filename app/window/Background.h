#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <thread>

namespace tarvine::app {

// Runs `work` on a thread of its own and hands its result to `done` on the
// main loop: the window's interface thread never reads the history or the
// folder. The application is held meanwhile, so that it does not quit under
// a restore.
template <class Result>
void inBackground(GApplication* application, std::function<Result()> work,
                  std::function<void(Result&)> done) {
  struct Job {
    GApplication* application;
    std::function<Result()> work;
    std::function<void(Result&)> done;
    std::optional<Result> result;
  };
  auto* job = new Job{application, std::move(work), std::move(done), std::nullopt};
  g_application_hold(application);
  std::thread([job] {
    job->result.emplace(job->work());
    g_idle_add_once(
        [](gpointer data) {
          std::unique_ptr<Job> job(static_cast<Job*>(data));
          job->done(*job->result);
          g_application_release(job->application);
        },
        job);
  }).detach();
}

}  // namespace tarvine::app
