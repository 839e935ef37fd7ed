#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "capture_helpers.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/x11/x11_screen_capture.h"
#include "stream_recorder.h"

namespace fenwright::testing {

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
  SerialQueue& queue() { return queue_; }
  void dropStream() { stream_.reset(); }

  CaptureStatus start(const ContentFilter& filter, const StreamConfiguration& configuration) {
    stream_ = capture_->makeStream(filter, configuration, recorder_);
    if (auto error = stream_->addStreamOutput(recorder_, StreamOutputType::screen, queue_))
      return *error;
    return startStream(*stream_);
  }

  CaptureStatus startWindow(std::uint32_t id,
                            const StreamConfiguration& configuration = serviceConfiguration()) {
    return start(ContentFilter::desktopIndependentWindow(windowWithId(id)), configuration);
  }

 private:
  SerialQueue queue_{"com.quenfield.app.fenwright.test-sample"};
  std::shared_ptr<StreamRecorder> recorder_ = std::make_shared<StreamRecorder>(queue_);
  std::shared_ptr<ScreenCapture> capture_;
  std::shared_ptr<CaptureStream> stream_;
};

}  // namespace fenwright::testing
