#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
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

}  // namespace fenwright::testing
