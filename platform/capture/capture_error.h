#pragma once

#include <string>

#include "platform/expected.h"

namespace fenwright {

// An error from the capture platform. Only its text is ever looked at.
struct CaptureError {
  std::string localizedDescription;
};

// A completion's one result: a value, or an error.
template <class T>
using CaptureResult = Expected<T, CaptureError>;

// For completions that carry no value.
struct Done {};
using CaptureStatus = CaptureResult<Done>;

}  // namespace fenwright
