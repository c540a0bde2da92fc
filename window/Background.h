#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace tarvine::window {

// Runs `work` on a thread of its own and hands its result to `done` on the
// main loop: the window's interface thread never reads the history or the
// folder. The application is held meanwhile, so that it does not quit under
// a restore.
template <class Answer>
void inBackground(GApplication* application, std::function<Answer()> work,
                  std::function<void(Answer&)> done) {
  struct Job {
    GApplication* application;
    std::function<Answer()> work;
    std::function<void(Answer&)> done;
    std::optional<Answer> result;
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

}  // namespace tarvine::window
