#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/capture/screen_capture.h"

namespace fenwright {

class FakeScreenCapture;

// A stream of the fake backend. Tests push frames onto its registered queue
// and make it stop by itself.
class FakeCaptureStream final : public CaptureStream,
                                public std::enable_shared_from_this<FakeCaptureStream> {
 public:
  FakeCaptureStream(FakeScreenCapture& owner, ContentFilter filter,
                    StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate);

  std::optional<CaptureError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                              StreamOutputType type,
                                              SerialQueue& sampleHandlerQueue) override;
  void startCapture(Completion<Done> completion) override;
  void updateContentFilter(const ContentFilter& filter, Completion<Done> completion) override;
  void stopCapture(Completion<Done> completion) override;
  // Nothing: the fake delivers only what its test pushes.
  void deliverCurrentFrame() override {}

  // Delivers one sample on the registered queue and waits until the output
  // has handled it. Returns false when no output is registered.
  bool deliver(const SampleBuffer& sample, StreamOutputType type = StreamOutputType::screen);
  // Ends the stream from the platform side, as a vanished window would;
  // from then on it takes no new filter.
  void stopByItself(const CaptureError& error);

  ContentFilter filter() const;
  const StreamConfiguration& configuration() const { return configuration_; }
  bool isRunning() const { return running_.load(); }

 private:
  FakeScreenCapture& owner_;
  mutable std::mutex mutex_;  // test-side bookkeeping only
  ContentFilter filter_;
  StreamConfiguration configuration_;
  std::weak_ptr<StreamDelegate> delegate_;
  std::weak_ptr<StreamOutput> output_;
  SerialQueue* outputQueue_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<bool> stoppedByItself_{false};
};

// A scriptable capture backend: what the content query answers, which call
// fails with which error, and counters of what was asked of it. Completions
// run at once on the calling thread unless queries are held.
class FakeScreenCapture final : public ScreenCapture {
 public:
  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           Completion<ShareableContent> completion) override;
  std::uint32_t mainDisplayID() override;
  std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                            const StreamConfiguration& configuration,
                                            std::weak_ptr<StreamDelegate> delegate) override;

  // Knobs.
  void setContent(ShareableContent content);
  void setMainDisplayID(std::uint32_t id);
  void failQueries(std::optional<CaptureError> error);
  void failNextAddOutput(CaptureError error);
  void failNextStart(CaptureError error);
  void failNextUpdate(CaptureError error);
  void failNextStop(CaptureError error);
  // While held, query completions wait until releaseQueries().
  void holdQueries(bool hold);
  void releaseQueries();
  std::size_t heldQueries() const;
  // While held, capture starts wait until releaseStarts().
  void holdStarts(bool hold);
  void releaseStarts();
  std::size_t heldStarts() const;

  // Counters and records.
  int queries() const { return queries_.load(); }
  int starts() const { return starts_.load(); }
  int stops() const { return stops_.load(); }
  int updates() const { return updates_.load(); }
  int liveStreams() const { return live_.load(); }
  int maxLiveStreams() const { return maxLive_.load(); }
  std::vector<bool> queriedOnScreenOnly() const;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams() const;
  std::shared_ptr<FakeCaptureStream> lastStream() const;

 private:
  friend class FakeCaptureStream;
  std::optional<CaptureError> take(std::optional<CaptureError>& slot);
  void streamStarted();
  void streamStopped();

  mutable std::mutex mutex_;
  ShareableContent content_;
  std::uint32_t mainDisplayID_ = 0;
  std::optional<CaptureError> queryError_;
  std::optional<CaptureError> addOutputError_;
  std::optional<CaptureError> startError_;
  std::optional<CaptureError> updateError_;
  std::optional<CaptureError> stopError_;
  bool holdQueries_ = false;
  std::deque<std::function<void()>> heldQueries_;
  bool holdStarts_ = false;
  std::deque<std::function<void()>> heldStarts_;
  std::vector<bool> onScreenOnly_;
  std::vector<std::shared_ptr<FakeCaptureStream>> streams_;
  std::atomic<int> queries_{0}, starts_{0}, stops_{0}, updates_{0}, live_{0}, maxLive_{0};
};

}  // namespace fenwright
