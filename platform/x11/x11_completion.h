#pragma once

#include <exception>
#include <utility>

#include "platform/capture/screen_capture.h"
#include "platform/log/logger.h"

namespace fenwright::x11 {

// Calls a caller's completion on the X queue. One that throws must not take
// the queue's thread down with it.
template <class T>
void completeSafely(Completion<T>& completion, CaptureResult<T> result) {
  if (!completion) return;
  try {
    completion(std::move(result));
  } catch (const std::exception& e) {
    log::helperLogger().error("x11: a capture completion handler threw — {}", e.what());
  } catch (...) {
    log::helperLogger().error("x11: a capture completion handler threw");
  }
}

}  // namespace fenwright::x11
