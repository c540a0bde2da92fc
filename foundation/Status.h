#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tarvine {

// The outcome of an operation that yields no value: success, or a failure with
// a kind that callers test, a readable message that only people read, and,
// where the failure came from the system, its errno.
class [[nodiscard]] Status {
 public:
  enum class Kind : std::uint8_t {
    ok,
    failed,            // nothing finer to say
    io,                // the system refused; errorNumber() says why
    invalid,           // bad input: a path, a version, a mode
    notFound,          // no such file or version
    notWatched,        // the path lies in no watched folder
    noHistory,         // watched, but nothing is recorded yet
    noEarlierVersion,  // nothing older to go back to
    unavailable,       // the folder is not there now (unmounted, missing)
    damaged,           // the history cannot be read as it should be
    refused,           // carrying it out would not be safe
  };

  Status() = default;

  // A failure of kind `io` when it carries an errno, else `failed`.
  static Status error(std::string message, int errorNumber = 0);
  static Status failure(Kind kind, std::string message, int errorNumber = 0);

  bool ok() const { return kind_ == Kind::ok; }
  Kind kind() const { return kind_; }
  const std::string& message() const;
  int errorNumber() const { return errorNumber_; }

  // The kind's name as scripts read it ("notWatched").
  static std::string_view kindName(Kind kind);

 private:
  Kind kind_ = Kind::ok;
  std::string message_;
  int errorNumber_ = 0;
};

namespace detail {
// Prints the message of the failure that was asked for a value, then aborts.
[[noreturn]] void failedValueAccess(const Status& status);
}  // namespace detail

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

  // Asking a failure for its value is a programming error: it ends the process
  // with the failure's message rather than read memory that holds no value.
  const T& value() const& { return checked(), *value_; }
  T& value() & { return checked(), *value_; }
  T&& value() && { return checked(), std::move(*value_); }
  const T& operator*() const& { return value(); }
  T& operator*() & { return value(); }
  const T* operator->() const { return &value(); }
  T* operator->() { return &value(); }

 private:
  void checked() const {
    if (!value_) detail::failedValueAccess(status_);
  }

  std::optional<T> value_;
  Status status_;
};

}  // namespace tarvine
