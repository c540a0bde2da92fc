#include "hosts/glib/FailureLog.h"

#include <exception>
#include <string>

namespace tarvine {
namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(GuardedCall::count)> kWhat{
    "the extension could not start",
    "a menu could not be made",
    "a command could not be carried out",
    "a changed roots.json could not be loaded",
    "the file manager could not be told that its menus changed",
    "the file manager's menu items could not be made",
    "a chosen entry could not be handed to the extension",
    "the module could not start or stop",
};

}  // namespace

FailureLog::FailureLog(SystemLog& log, Now now) : log_(log), now_(now) {}

std::string_view FailureLog::describe(GuardedCall call) {
  return kWhat.at(static_cast<std::size_t>(call));
}

std::string_view FailureLog::currentReason() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "not a std::exception";
  }
}

void FailureLog::failed(GuardedCall call, std::string_view reason, std::size_t times) noexcept {
  const auto index = static_cast<std::size_t>(call);
  if (index >= said_.size() || times == 0) return;
  Said& said = said_[index];
  said.unsaid += times;
  const auto now = now_();
  if (said.last && now - *said.last < quietTime) return;
  try {
    std::string line = std::string(linePrefix) + std::string(kWhat[index]);
    if (!reason.empty()) line += ": " + std::string(reason);
    if (said.unsaid > 1) line += " (" + std::to_string(said.unsaid) + " times)";
    log_.write(line);
  } catch (...) {
    // Out of memory for the line: it is dropped, as a full log drops one. The
    // failures stay counted for the next line.
    return;
  }
  said.unsaid = 0;
  said.last = now;
}

}  // namespace tarvine
