#include "foundation/Status.h"

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

}  // namespace tarvine
