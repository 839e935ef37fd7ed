#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/x11/x11_screen_capture.h"
#include "stream_recorder.h"

namespace fenwright::testing {

// Waits for one completion; a timeout reads as an error.
template <class T>
CaptureResult<T> awaitResult(const std::function<void(Completion<T>)>& start) {
  auto promise = std::make_shared<std::promise<CaptureResult<T>>>();
  auto future = promise->get_future();
  start([promise](CaptureResult<T> result) { promise->set_value(std::move(result)); });
  if (future.wait_for(std::chrono::seconds(15)) != std::future_status::ready)
    return CaptureError{"timed out waiting for the completion"};
  return future.get();
}

inline CaptureResult<ShareableContent> queryContent(ScreenCapture& capture,
                                                    bool excludingDesktop = false,
                                                    bool onScreenOnly = false) {
  return awaitResult<ShareableContent>([&](Completion<ShareableContent> done) {
    capture.getShareableContent(excludingDesktop, onScreenOnly, std::move(done));
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

inline ContentFilter windowFilter(std::uint32_t id) {
  CaptureWindow window;
  window.windowID = id;
  return ContentFilter::desktopIndependentWindow(window);
}

constexpr std::uint32_t opaque(std::uint32_t rgb) { return 0xFF000000u | rgb; }

// One backend, one stream, and a recorder as its output and delegate on a
// sample queue of its own. Stops the stream at the end, before the queue
// goes.
class CaptureSession {
 public:
  explicit CaptureSession(const std::string& display) : capture_(makeX11ScreenCapture(display)) {}
  ~CaptureSession() {
    if (stream_) stopStream(*stream_);
    EXPECT_TRUE(recorder_->violations().empty()) << recorder_->violations().front();
  }

  ScreenCapture& capture() { return *capture_; }
  CaptureStream& stream() { return *stream_; }
  StreamRecorder& recorder() { return *recorder_; }
  void dropStream() { stream_.reset(); }

  CaptureStatus start(const ContentFilter& filter, const StreamConfiguration& configuration) {
    stream_ = capture_->makeStream(filter, configuration, recorder_);
    if (auto error = stream_->addStreamOutput(recorder_, StreamOutputType::screen, queue_))
      return *error;
    return startStream(*stream_);
  }
  CaptureStatus startWindow(std::uint32_t id, const StreamConfiguration& configuration =
                                                 serviceConfiguration()) {
    return start(windowFilter(id), configuration);
  }

 private:
  SerialQueue queue_{"com.quenfield.app.fenwright.test-sample"};
  std::shared_ptr<StreamRecorder> recorder_ = std::make_shared<StreamRecorder>(queue_);
  std::shared_ptr<ScreenCapture> capture_;
  std::shared_ptr<CaptureStream> stream_;
};

}  // namespace fenwright::testing
