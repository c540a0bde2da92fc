#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/SystemLog.h"

namespace tarvine {

// The calls that catch whatever is thrown in them, so that nothing reaches a
// file manager's C or Qt code; each says in the log that it failed.
enum class GuardedCall : std::size_t {
  start,            // making the extension on its thread
  menu,             // the extension's answer to a menu question
  command,          // carrying out a chosen command
  manifestChange,   // loading roots.json when it changed
  changeNotice,     // telling the file manager that its menus changed
  fileManagerMenu,  // the file manager's items for a menu, on its thread
  fileManagerPick,  // handing a chosen entry to the extension, on its thread
  module,           // starting or stopping a module
  count
};

// The system log's lines about guarded calls that failed. The first failure of
// a call is said at once; later ones of the same call are only counted until
// `quietTime` has passed since its last line, and then said, with their count,
// by the next line about that call: a failure repeated on every click cannot
// flood the system log. For one thread only.
class FailureLog {
 public:
  static constexpr std::chrono::seconds quietTime{60};
  static constexpr std::string_view linePrefix = "TarvineFinderSync: ";
  using Now = std::chrono::steady_clock::time_point (*)();

  explicit FailureLog(SystemLog& log, Now now = &std::chrono::steady_clock::now);

  // `times` failures of `call`; `reason` (empty when unknown) is the last
  // one's. Never throws: a line that cannot be made is dropped, as a full log
  // drops one.
  void failed(GuardedCall call, std::string_view reason, std::size_t times = 1) noexcept;

  // What failed, as its line says it.
  static std::string_view describe(GuardedCall call);
  // The exception being handled, as a reason: its message, or that it is no
  // std::exception. Only inside a catch block; the text lives as long as the
  // exception.
  static std::string_view currentReason() noexcept;

 private:
  struct Said {
    std::optional<std::chrono::steady_clock::time_point> last;
    std::size_t unsaid = 0;
  };

  SystemLog& log_;
  Now now_;
  std::array<Said, static_cast<std::size_t>(GuardedCall::count)> said_{};
};

}  // namespace tarvine
