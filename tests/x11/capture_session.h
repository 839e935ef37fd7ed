#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/x11/x11_screen_capture.h"
#include "support/eventually.h"

namespace fenwright::testing {

// A copy of one delivered frame; pixels as 0xAARRGGBB.
struct RecordedFrame {
  std::size_t sequence = 0;  // 1 for the first frame
  int width = 0, height = 0;
  std::optional<std::int64_t> status;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  std::uint32_t centre() const { return at(width / 2, height / 2); }
};

// Output and delegate of a stream under test: keeps the latest frames, the
// arrival of every frame and every stop, and notes samples that arrive off
// their queue, overlapping or malformed.
class StreamRecorder final : public StreamOutput, public StreamDelegate {
 public:
  using Clock = std::chrono::steady_clock;
  explicit StreamRecorder(SerialQueue& queue) : queue_(queue) {}

  void streamDidOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample,
                                   StreamOutputType type) override {
    const auto arrival = Clock::now();
    const bool overlapping = inCallback_.fetch_add(1) != 0;
    RecordedFrame frame;
    if (sample.status) frame.status = static_cast<std::int64_t>(*sample.status);
    if (sample.isValid && sample.imageBuffer) {
      const ImageView& image = *sample.imageBuffer;
      frame.width = image.width;
      frame.height = image.height;
      frame.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
      for (int y = 0; y < image.height; ++y)
        std::memcpy(&frame.pixels[static_cast<std::size_t>(y) * image.width], image.row(y),
                    static_cast<std::size_t>(image.width) * 4);
      if (sample.opaque)
        for (auto& pixel : frame.pixels) pixel |= 0xFF000000u;
    }
    std::this_thread::sleep_for(delay_.load());
    {
      std::lock_guard lock(mutex_);
      if (!queue_.isCurrent()) violations_.push_back("sample delivered off its queue");
      if (overlapping) violations_.push_back("samples overlapped");
      if (type != StreamOutputType::screen || frame.pixels.empty())
        violations_.push_back("sample of another type or without a picture");
      frame.sequence = arrivals_.size() + 1;
      arrivals_.push_back(arrival);
      frames_.push_back(std::move(frame));
      if (frames_.size() > 24) frames_.pop_front();
    }
    inCallback_.fetch_sub(1);
  }

  void streamDidStopWithError(CaptureStream&, const CaptureError& error) override {
    std::lock_guard lock(mutex_);
    stopErrors_.push_back(error.localizedDescription);
  }

  std::size_t frameCount() const { return arrivals().size(); }
  std::vector<Clock::time_point> arrivals() const { return locked(arrivals_); }
  std::vector<std::string> stopErrors() const { return locked(stopErrors_); }
  std::vector<std::string> violations() const { return locked(violations_); }
  // Every later sample sleeps this long in the callback.
  void setCallbackDelay(std::chrono::milliseconds delay) { delay_ = delay; }

  // The first frame after `afterSequence` for which `accept` holds (any
  // frame when none is given).
  std::optional<RecordedFrame> waitForFrame(
      const std::function<bool(const RecordedFrame&)>& accept = nullptr,
      std::size_t afterSequence = 0, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::optional<RecordedFrame> found;
    eventually(
        [&] {
          std::lock_guard lock(mutex_);
          for (const auto& frame : frames_) {
            if (frame.sequence <= afterSequence) continue;
            afterSequence = frame.sequence;
            if (!accept || accept(frame)) return (found = frame).has_value();
          }
          return false;
        },
        timeout);
    return found;
  }
  bool waitForStop() {
    return eventually([&] { return !stopErrors().empty(); }, std::chrono::seconds(10));
  }

 private:
  template <class T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  SerialQueue& queue_;
  mutable std::mutex mutex_;
  std::deque<RecordedFrame> frames_;
  std::vector<Clock::time_point> arrivals_;
  std::vector<std::string> stopErrors_, violations_;
  std::atomic<int> inCallback_{0};
  std::atomic<std::chrono::milliseconds> delay_{std::chrono::milliseconds(0)};
};

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
