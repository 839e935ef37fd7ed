#pragma once

#include <utility>

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/task_executor.h"

namespace fenwright {

// Turns a completion-handler call into one awaited result. The task resumes
// on its own executor, never on the thread that ran the completion.
template <class T, class Start>
Task<CaptureResult<T>> awaitCompletion(Start start) {
  return asio::async_initiate<decltype(asio::use_awaitable), void(CaptureResult<T>)>(
      [start = std::move(start)](auto handler) mutable {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        start([shared](CaptureResult<T> result) mutable {
          auto executor = asio::get_associated_executor(*shared);
          asio::post(executor, [shared, result = std::move(result)]() mutable {
            (*shared)(std::move(result));
          });
        });
      },
      asio::use_awaitable);
}

inline Task<CaptureResult<ShareableContent>> shareableContent(ScreenCapture& capture,
                                                              bool excludingDesktopWindows,
                                                              bool onScreenWindowsOnly) {
  return awaitCompletion<ShareableContent>([&capture, excludingDesktopWindows,
                                            onScreenWindowsOnly](Completion<ShareableContent> c) {
    capture.getShareableContent(excludingDesktopWindows, onScreenWindowsOnly, std::move(c));
  });
}

inline Task<CaptureStatus> startCapture(CaptureStream& stream) {
  return awaitCompletion<Done>(
      [&stream](Completion<Done> c) { stream.startCapture(std::move(c)); });
}

inline Task<CaptureStatus> updateContentFilter(CaptureStream& stream, ContentFilter filter) {
  return awaitCompletion<Done>([&stream, filter = std::move(filter)](Completion<Done> c) {
    stream.updateContentFilter(filter, std::move(c));
  });
}

inline Task<CaptureStatus> stopCapture(CaptureStream& stream) {
  return awaitCompletion<Done>(
      [&stream](Completion<Done> c) { stream.stopCapture(std::move(c)); });
}

}  // namespace fenwright
