#pragma once

#include <optional>
#include <string>
#include <utility>

namespace zf {

// Outcome of an operation that touches files, libraries or the network.
// Exceptions are kept for misuse of an API; I/O failures travel as values so
// that every caller has to decide what a failure means for its stage.
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Error(std::string message, int code = -1) {
    Status s;
    s.ok_ = false;
    s.code_ = code;
    s.message_ = std::move(message);
    return s;
  }

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  int code() const { return code_; }  // errno where one applies, else -1
  const std::string& message() const { return message_; }

 private:
  bool ok_ = true;
  int code_ = 0;
  std::string message_;
};

template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}        // NOLINT: implicit by design
  Result(Status error) : status_(std::move(error)) {}  // NOLINT

  bool ok() const { return status_.ok(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& operator*() const& { return *value_; }
  const T* operator->() const { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace zf
