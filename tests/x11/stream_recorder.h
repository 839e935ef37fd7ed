#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"

namespace fenwright::testing {

// A copy of one delivered frame; pixels as 0xAARRGGBB.
struct RecordedFrame {
  std::size_t sequence = 0;  // 1 for the first frame
  int width = 0;
  int height = 0;
  std::optional<std::int64_t> status;
  std::chrono::steady_clock::time_point arrival;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  std::uint32_t centre() const { return at(width / 2, height / 2); }
};

// Output and delegate of a stream under test: keeps the latest frames, the
// arrival of every frame and every stop, and checks that samples arrive on
// their queue one at a time.
class StreamRecorder final : public StreamOutput, public StreamDelegate {
 public:
  explicit StreamRecorder(SerialQueue& queue) : queue_(queue) {}

  void streamDidOutputSampleBuffer(CaptureStream& stream, const SampleBuffer& sample,
                                   StreamOutputType type) override;
  void streamDidStopWithError(CaptureStream& stream, const CaptureError& error) override;

  std::size_t frameCount() const;
  std::vector<std::chrono::steady_clock::time_point> arrivals() const;
  // The first frame after `afterSequence` for which `accept` holds.
  std::optional<RecordedFrame> waitForFrame(
      const std::function<bool(const RecordedFrame&)>& accept,
      std::chrono::milliseconds timeout = std::chrono::seconds(10), std::size_t afterSequence = 0);
  std::optional<RecordedFrame> waitForAnyFrame(
      std::chrono::milliseconds timeout = std::chrono::seconds(10), std::size_t afterSequence = 0);
  bool waitForStop(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<std::string> stopErrors() const;
  // Problems seen: samples off their queue, overlapping, or malformed.
  std::vector<std::string> violations() const;
  // Every later sample sleeps this long in the callback.
  void setCallbackDelay(std::chrono::milliseconds delay);

 private:
  SerialQueue& queue_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<RecordedFrame> frames_;
  std::size_t count_ = 0;
  std::vector<std::chrono::steady_clock::time_point> arrivals_;
  std::vector<std::string> stopErrors_;
  std::vector<std::string> violations_;
  int inCallback_ = 0;
  std::chrono::milliseconds delay_{0};
};

}  // namespace fenwright::testing
