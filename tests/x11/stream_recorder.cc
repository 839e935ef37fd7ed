#include "stream_recorder.h"

#include <cstring>
#include <thread>

namespace fenwright::testing {
namespace {
constexpr std::size_t kFramesKept = 24;
}

void StreamRecorder::streamDidOutputSampleBuffer(CaptureStream&, const SampleBuffer& sample,
                                                 StreamOutputType type) {
  std::chrono::milliseconds delay;
  {
    std::lock_guard lock(mutex_);
    if (!queue_.isCurrent()) violations_.push_back("sample delivered off its queue");
    if (++inCallback_ != 1) violations_.push_back("samples overlapped");
    if (type != StreamOutputType::screen) violations_.push_back("sample of a non-screen type");
    delay = delay_;
  }
  RecordedFrame frame;
  frame.arrival = std::chrono::steady_clock::now();
  if (sample.status) frame.status = static_cast<std::int64_t>(*sample.status);
  if (sample.isValid && sample.imageBuffer) {
    const ImageView& image = *sample.imageBuffer;
    frame.width = image.width;
    frame.height = image.height;
    frame.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    for (int y = 0; y < image.height; ++y)
      std::memcpy(frame.pixels.data() + static_cast<std::size_t>(y) * image.width, image.row(y),
                  static_cast<std::size_t>(image.width) * 4);
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  {
    std::lock_guard lock(mutex_);
    if (!sample.isValid || !sample.imageBuffer) violations_.push_back("sample without a picture");
    frame.sequence = ++count_;
    arrivals_.push_back(frame.arrival);
    frames_.push_back(std::move(frame));
    if (frames_.size() > kFramesKept) frames_.pop_front();
    --inCallback_;
  }
  changed_.notify_all();
}

void StreamRecorder::streamDidStopWithError(CaptureStream&, const CaptureError& error) {
  {
    std::lock_guard lock(mutex_);
    stopErrors_.push_back(error.localizedDescription);
  }
  changed_.notify_all();
}

std::size_t StreamRecorder::frameCount() const {
  std::lock_guard lock(mutex_);
  return count_;
}

std::vector<std::chrono::steady_clock::time_point> StreamRecorder::arrivals() const {
  std::lock_guard lock(mutex_);
  return arrivals_;
}

std::optional<RecordedFrame> StreamRecorder::waitForFrame(
    const std::function<bool(const RecordedFrame&)>& accept, std::chrono::milliseconds timeout,
    std::size_t afterSequence) {
  std::unique_lock lock(mutex_);
  std::size_t checked = afterSequence;
  std::optional<RecordedFrame> found;
  changed_.wait_for(lock, timeout, [&] {
    for (const auto& frame : frames_) {
      if (frame.sequence <= checked) continue;
      checked = frame.sequence;
      if (accept(frame)) {
        found = frame;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<RecordedFrame> StreamRecorder::waitForAnyFrame(std::chrono::milliseconds timeout,
                                                             std::size_t afterSequence) {
  return waitForFrame([](const RecordedFrame&) { return true; }, timeout, afterSequence);
}

bool StreamRecorder::waitForStop(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return !stopErrors_.empty(); });
}

std::vector<std::string> StreamRecorder::stopErrors() const {
  std::lock_guard lock(mutex_);
  return stopErrors_;
}

std::vector<std::string> StreamRecorder::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

void StreamRecorder::setCallbackDelay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  delay_ = delay;
}

}  // namespace fenwright::testing
