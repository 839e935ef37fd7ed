#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/capture/screen_capture.h"

namespace fenwright::testing {

// Waits for one completion; a timeout reads as an error.
template <class T>
CaptureResult<T> awaitResult(const std::function<void(Completion<T>)>& start,
                             std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
  auto promise = std::make_shared<std::promise<CaptureResult<T>>>();
  auto future = promise->get_future();
  start([promise](CaptureResult<T> result) { promise->set_value(std::move(result)); });
  if (future.wait_for(timeout) != std::future_status::ready)
    return CaptureError{"timed out waiting for the completion"};
  return future.get();
}

inline CaptureResult<ShareableContent> queryContent(ScreenCapture& capture,
                                                    bool excludingDesktopWindows = false,
                                                    bool onScreenWindowsOnly = false) {
  return awaitResult<ShareableContent>([&](Completion<ShareableContent> done) {
    capture.getShareableContent(excludingDesktopWindows, onScreenWindowsOnly, std::move(done));
  });
}

inline CaptureStatus startStream(CaptureStream& stream) {
  return awaitResult<Done>([&](Completion<Done> done) { stream.startCapture(std::move(done)); });
}

inline CaptureStatus stopStream(CaptureStream& stream) {
  return awaitResult<Done>([&](Completion<Done> done) { stream.stopCapture(std::move(done)); });
}

inline CaptureStatus updateFilter(CaptureStream& stream, const ContentFilter& filter) {
  return awaitResult<Done>(
      [&](Completion<Done> done) { stream.updateContentFilter(filter, std::move(done)); });
}

inline const CaptureWindow* findWindow(const ShareableContent& content, std::uint32_t id) {
  for (const auto& window : content.windows)
    if (window.windowID == id) return &window;
  return nullptr;
}

// The configuration the service uses, with the interval given.
inline StreamConfiguration serviceConfiguration(bool showsCursor = false,
                                                FrameInterval interval = {1, 30}) {
  StreamConfiguration configuration;
  configuration.setWidth(1280);
  configuration.setHeight(720);
  configuration.setMinimumFrameInterval(interval);
  configuration.setPixelFormat(0x42475241);
  configuration.setShowsCursor(showsCursor);
  return configuration;
}

inline CaptureWindow windowWithId(std::uint32_t id) {
  CaptureWindow window;
  window.windowID = id;
  return window;
}

constexpr std::uint32_t opaque(std::uint32_t rgb) { return 0xFF000000u | rgb; }

}  // namespace fenwright::testing
