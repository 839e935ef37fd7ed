#pragma once

#include <optional>
#include <string>
#include <utility>

namespace fenwright {

// A value or the reason there is none, as one line a user can read. Copies
// when T copies; moves otherwise.
template <class T>
class Result {
 public:
  static Result success(T value) { return Result(std::move(value), {}); }
  static Result failure(std::string reason) { return Result(std::nullopt, std::move(reason)); }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }

  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  // Moves the value out; only after ok().
  T take() { return std::move(*value_); }

  // Empty when ok().
  const std::string& error() const { return error_; }

 private:
  Result(std::optional<T> value, std::string error)
      : value_(std::move(value)), error_(std::move(error)) {}
  std::optional<T> value_;
  std::string error_;
};

}  // namespace fenwright
