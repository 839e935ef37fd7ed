#pragma once

#include <string>
#include <utility>
#include <variant>

namespace fenwright {

// An error from the capture platform. Only its text is ever looked at.
struct CaptureError {
  std::string localizedDescription;
};

// A completion's one result: a value, or an error.
template <class T>
class CaptureResult {
 public:
  CaptureResult(T value) : state_(std::move(value)) {}  // NOLINT: implicit by design
  CaptureResult(CaptureError error) : state_(std::move(error)) {}  // NOLINT

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  const CaptureError& error() const { return std::get<CaptureError>(state_); }

 private:
  std::variant<T, CaptureError> state_;
};

// For completions that carry no value.
struct Done {};
using CaptureStatus = CaptureResult<Done>;

}  // namespace fenwright
