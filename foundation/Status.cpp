#include "foundation/Status.h"

#include <cstdio>
#include <cstdlib>

namespace tarvine {

Status Status::error(std::string message, int errorNumber) {
  Status status;
  status.message_ = std::move(message);
  status.errorNumber_ = errorNumber;
  return status;
}

const std::string& Status::message() const {
  static const std::string kEmpty;
  return message_ ? *message_ : kEmpty;
}

namespace detail {

void failedValueAccess(const Status& status) {
  std::fprintf(stderr, "Result::value() called on a failure: %s\n", status.message().c_str());
  std::abort();
}

}  // namespace detail

}  // namespace tarvine
