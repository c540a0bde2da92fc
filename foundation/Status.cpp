#include "foundation/Status.h"

#include <cstdio>
#include <cstdlib>

namespace tarvine {

Status Status::error(std::string message, int errorNumber) {
  return failure(errorNumber != 0 ? Kind::io : Kind::failed, std::move(message), errorNumber);
}

Status Status::failure(Kind kind, std::string message, int errorNumber) {
  Status status;
  // A failure is never mistaken for success, whatever kind it was given.
  status.kind_ = kind == Kind::ok ? Kind::failed : kind;
  status.message_ = std::move(message);
  status.errorNumber_ = errorNumber;
  return status;
}

const std::string& Status::message() const { return message_; }

std::string_view Status::kindName(Kind kind) {
  switch (kind) {
    case Kind::ok:
      return "ok";
    case Kind::failed:
      return "failed";
    case Kind::io:
      return "io";
    case Kind::invalid:
      return "invalid";
    case Kind::notFound:
      return "notFound";
    case Kind::notWatched:
      return "notWatched";
    case Kind::noHistory:
      return "noHistory";
    case Kind::noEarlierVersion:
      return "noEarlierVersion";
    case Kind::unavailable:
      return "unavailable";
    case Kind::damaged:
      return "damaged";
    case Kind::refused:
      return "refused";
  }
  return "failed";
}

namespace detail {

void failedValueAccess(const Status& status) {
  std::fprintf(stderr, "Result::value() called on a failure: %s\n", status.message().c_str());
  std::abort();
}

}  // namespace detail

}  // namespace tarvine
