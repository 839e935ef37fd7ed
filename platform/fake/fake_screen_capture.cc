#include "platform/fake/fake_screen_capture.h"

#include <future>

#include "platform/dispatch/serial_queue.h"

namespace fenwright {

FakeCaptureStream::FakeCaptureStream(FakeScreenCapture& owner, ContentFilter filter,
                                     StreamConfiguration configuration,
                                     std::weak_ptr<StreamDelegate> delegate)
    : owner_(owner),
      filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)) {}

std::optional<CaptureError> FakeCaptureStream::addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                               StreamOutputType,
                                                               SerialQueue& sampleHandlerQueue) {
  std::optional<CaptureError> error;
  {
    std::lock_guard lock(owner_.mutex_);
    error = owner_.take(owner_.addOutputError_);
  }
  if (error) return error;
  std::lock_guard lock(mutex_);
  output_ = std::move(output);
  outputQueue_ = &sampleHandlerQueue;
  return std::nullopt;
}

void FakeCaptureStream::startCapture(Completion<Done> completion) {
  auto start = [self = shared_from_this(), completion = std::move(completion)] {
    std::optional<CaptureError> error;
    {
      std::lock_guard lock(self->owner_.mutex_);
      error = self->owner_.take(self->owner_.startError_);
    }
    if (error) {
      completion(*error);
      return;
    }
    self->owner_.starts_++;
    self->running_ = true;
    self->owner_.streamStarted();
    completion(Done{});
  };
  {
    std::lock_guard lock(owner_.mutex_);
    if (owner_.holdStarts_) {
      owner_.heldStarts_.push_back(std::move(start));
      return;
    }
  }
  start();
}

void FakeCaptureStream::updateContentFilter(const ContentFilter& filter,
                                            Completion<Done> completion) {
  std::optional<CaptureError> error;
  {
    std::lock_guard lock(owner_.mutex_);
    error = owner_.take(owner_.updateError_);
  }
  if (stoppedByItself_) error = CaptureError{"the stream has stopped"};
  if (error) {
    completion(*error);
    return;
  }
  owner_.updates_++;
  {
    std::lock_guard lock(mutex_);
    filter_ = filter;
  }
  completion(Done{});
}

void FakeCaptureStream::stopCapture(Completion<Done> completion) {
  std::optional<CaptureError> error;
  {
    std::lock_guard lock(owner_.mutex_);
    error = owner_.take(owner_.stopError_);
  }
  owner_.stops_++;
  if (running_.exchange(false)) owner_.streamStopped();
  if (error) {
    completion(*error);
  } else {
    completion(Done{});
  }
}

bool FakeCaptureStream::deliver(const SampleBuffer& sample, StreamOutputType type) {
  SerialQueue* queue;
  std::weak_ptr<StreamOutput> output;
  {
    std::lock_guard lock(mutex_);
    queue = outputQueue_;
    output = output_;
  }
  if (queue == nullptr) return false;
  auto self = shared_from_this();
  queue->sync([&] {
    if (auto target = output.lock()) target->streamDidOutputSampleBuffer(*self, sample, type);
  });
  return true;
}

void FakeCaptureStream::stopByItself(const CaptureError& error) {
  stoppedByItself_ = true;
  if (running_.exchange(false)) owner_.streamStopped();
  if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
}

ContentFilter FakeCaptureStream::filter() const {
  std::lock_guard lock(mutex_);
  return filter_;
}

void FakeScreenCapture::getShareableContent(bool, bool onScreenWindowsOnly,
                                            Completion<ShareableContent> completion) {
  queries_++;
  std::unique_lock lock(mutex_);
  onScreenOnly_.push_back(onScreenWindowsOnly);
  // The answer tells the screen as it was when asked, however late it comes.
  auto answer = [error = queryError_, content = content_, onScreenWindowsOnly,
                 completion = std::move(completion)]() mutable {
    if (error) {
      completion(*error);
      return;
    }
    if (onScreenWindowsOnly) {
      std::erase_if(content.windows, [](const CaptureWindow& w) { return !w.isOnScreen; });
    }
    completion(std::move(content));
  };
  if (holdQueries_) {
    heldQueries_.push_back(std::move(answer));
    return;
  }
  lock.unlock();
  answer();
}

std::uint32_t FakeScreenCapture::mainDisplayID() {
  std::lock_guard lock(mutex_);
  return mainDisplayID_;
}

std::shared_ptr<CaptureStream> FakeScreenCapture::makeStream(
    const ContentFilter& filter, const StreamConfiguration& configuration,
    std::weak_ptr<StreamDelegate> delegate) {
  auto stream =
      std::make_shared<FakeCaptureStream>(*this, filter, configuration, std::move(delegate));
  std::lock_guard lock(mutex_);
  streams_.push_back(stream);
  return stream;
}

void FakeScreenCapture::setContent(ShareableContent content) {
  std::lock_guard lock(mutex_);
  content_ = std::move(content);
}

void FakeScreenCapture::setMainDisplayID(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  mainDisplayID_ = id;
}

void FakeScreenCapture::failQueries(std::optional<CaptureError> error) {
  std::lock_guard lock(mutex_);
  queryError_ = std::move(error);
}

void FakeScreenCapture::failNextAddOutput(CaptureError error) {
  std::lock_guard lock(mutex_);
  addOutputError_ = std::move(error);
}

void FakeScreenCapture::failNextStart(CaptureError error) {
  std::lock_guard lock(mutex_);
  startError_ = std::move(error);
}

void FakeScreenCapture::failNextUpdate(CaptureError error) {
  std::lock_guard lock(mutex_);
  updateError_ = std::move(error);
}

void FakeScreenCapture::failNextStop(CaptureError error) {
  std::lock_guard lock(mutex_);
  stopError_ = std::move(error);
}

void FakeScreenCapture::holdQueries(bool hold) {
  std::lock_guard lock(mutex_);
  holdQueries_ = hold;
}

void FakeScreenCapture::releaseQueries() {
  std::deque<std::function<void()>> held;
  {
    std::lock_guard lock(mutex_);
    holdQueries_ = false;
    held.swap(heldQueries_);
  }
  for (auto& answer : held) answer();
}

std::size_t FakeScreenCapture::heldQueries() const {
  std::lock_guard lock(mutex_);
  return heldQueries_.size();
}

void FakeScreenCapture::holdStarts(bool hold) {
  std::lock_guard lock(mutex_);
  holdStarts_ = hold;
}

void FakeScreenCapture::releaseStarts() {
  std::deque<std::function<void()>> held;
  {
    std::lock_guard lock(mutex_);
    holdStarts_ = false;
    held.swap(heldStarts_);
  }
  for (auto& start : held) start();
}

std::size_t FakeScreenCapture::heldStarts() const {
  std::lock_guard lock(mutex_);
  return heldStarts_.size();
}

std::vector<bool> FakeScreenCapture::queriedOnScreenOnly() const {
  std::lock_guard lock(mutex_);
  return onScreenOnly_;
}

std::vector<std::shared_ptr<FakeCaptureStream>> FakeScreenCapture::streams() const {
  std::lock_guard lock(mutex_);
  return streams_;
}

std::shared_ptr<FakeCaptureStream> FakeScreenCapture::lastStream() const {
  std::lock_guard lock(mutex_);
  return streams_.empty() ? nullptr : streams_.back();
}

std::optional<CaptureError> FakeScreenCapture::take(std::optional<CaptureError>& slot) {
  auto error = std::move(slot);
  slot.reset();
  return error;
}

void FakeScreenCapture::streamStarted() {
  int live = ++live_;
  int seen = maxLive_.load();
  while (live > seen && !maxLive_.compare_exchange_weak(seen, live)) {
  }
}

void FakeScreenCapture::streamStopped() { --live_; }

}  // namespace fenwright
