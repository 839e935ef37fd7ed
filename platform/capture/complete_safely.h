#pragma once

#include <exception>
#include <string_view>
#include <utility>

#include "platform/capture/screen_capture.h"
#include "platform/log/logger.h"

namespace fenwright {

// Calls a caller's completion on a backend's queue. One that throws must
// not take the queue's thread down with it.
template <class T>
void completeSafely(std::string_view backend, Completion<T>& completion,
                    CaptureResult<T> result) {
  if (!completion) return;
  try {
    completion(std::move(result));
  } catch (const std::exception& e) {
    log::helperLogger().error("{}: a capture completion handler threw — {}", backend, e.what());
  } catch (...) {
    log::helperLogger().error("{}: a capture completion handler threw", backend);
  }
}

}  // namespace fenwright
