#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tarvine {

// The outcome of an operation that yields no value: success, or a failure with a
// readable message and, where the failure came from the system, its errno.
class [[nodiscard]] Status {
 public:
  Status() = default;

  static Status error(std::string message, int errorNumber = 0);

  bool ok() const { return !message_.has_value(); }
  const std::string& message() const;
  int errorNumber() const { return errorNumber_; }

 private:
  std::optional<std::string> message_;
  int errorNumber_ = 0;
};

// A value, or the Status that explains why there is none.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}         // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {  // NOLINT: implicit by design
    if (status_.ok()) status_ = Status::error("no value");
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }

  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  T& operator*() & { return *value_; }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace tarvine
