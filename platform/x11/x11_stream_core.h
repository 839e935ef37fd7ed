#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/screen_capture.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/x11/frame_fitter.h"
#include "platform/x11/frame_source.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_image_reader.h"

namespace fenwright::x11 {

// Everything one stream is, on the X queue (every member function runs
// there). Owns the stream's own X connection, so the server cleans up after
// it whatever happens, and its events concern this stream alone.
//
// Pacing drops, it never delays: a change after a quiet spell is grabbed at
// once; one inside the minimum frame interval waits for the next change
// after the interval, which is grabbed at once too, or, when none comes
// within a short while, for a trailing grab, so the last picture is never
// lost. Grabs keep to a grid of intervals that may run a little early, so
// a source changing at a multiple of the frame rate is taken at every
// interval rather than every other, while the rate never exceeds the
// limit. A window the server made anew (redirection at start, a map, a
// resize) is grabbed at once too; what the server could not keep arrives
// with its client's repaint. Unchanged content yields no sample at all
// rather than an idle-status one, so a static window costs no wakeups.
// Samples are posted to the output's queue one at a time; the memory they
// view (the shared-memory segment, or the fitted frame) is not touched
// again until the output has returned.
class StreamCore : public std::enable_shared_from_this<StreamCore> {
 public:
  StreamCore(std::string displayName, ContentFilter filter, StreamConfiguration configuration,
             std::weak_ptr<StreamDelegate> delegate);
  ~StreamCore();
  StreamCore(const StreamCore&) = delete;
  StreamCore& operator=(const StreamCore&) = delete;

  // A stream that has stopped keeps no output.
  void addOutput(std::weak_ptr<StreamOutput> output, SerialQueue& queue);
  void start(std::weak_ptr<CaptureStream> owner, Completion<Done> completion);
  void updateFilter(const ContentFilter& filter, Completion<Done> completion);
  void stop(Completion<Done> completion);
  void deliverCurrentFrame();
  // The stream object is gone: stop without telling anyone.
  void abandon();

 private:
  class SampleLease;
  enum class State { idle, running, stopped };
  using Clock = std::chrono::steady_clock;

  CaptureResult<std::unique_ptr<FrameSource>> makeSource(const ContentFilter& filter);
  void awaitEvents();
  void pumpEvents(bool readSocket);
  // Hands the connection's events to the source; false when the stream
  // ended by them.
  bool takeEvents(bool readSocket);
  void restartPolling();
  void armPollTimer(unsigned generation);
  void changed();
  void schedule();
  void armGrabTimer(Clock::time_point due);
  void grabAndDeliver(Clock::time_point now);
  // One grab, delivered when it may be; `repair` when it follows one that
  // was unsure, which it does not follow again.
  void grabOnce(bool repair);
  void deliver(const FrameSource::Grab& grab);
  void sampleReturned();
  // Checks a grab whose rows arrived while its frame was drawn, as
  // grabOnce() checks any other. False when a sample went out again or the
  // stream ended.
  bool settleGrab();
  void endWithError(const std::string& reason);
  void closeDeliveries();
  void releaseResources();
  std::chrono::nanoseconds pollInterval() const;

  const std::string displayName_;
  ContentFilter filter_;
  const StreamConfiguration configuration_;
  const std::weak_ptr<StreamDelegate> delegate_;
  std::weak_ptr<CaptureStream> owner_;
  std::weak_ptr<StreamOutput> output_;
  SerialQueue* outputQueue_ = nullptr;

  State state_ = State::idle;
  std::chrono::nanoseconds interval_{0};
  bool dirty_ = false;
  bool inFlight_ = false;
  bool grabTimerArmed_ = false;
  bool hasGrabbed_ = false;
  bool listening_ = false;
  bool missed_ = false;
  bool outOfMemory_ = false;
  bool takesArriving_ = false;   // the output draws rows as they come
  bool settlePending_ = false;   // the sample out has rows that were arriving
  bool repairing_ = false;       // ... and it was a repair
  // The interval grid's last point, and when the latest change was seen.
  Clock::time_point grid_{};
  Clock::time_point changedAt_{};
  unsigned pollGeneration_ = 0;
  Clock::time_point pollDue_{};
  std::vector<Completion<Done>> stopWaiters_;
  // Read by the sample block on the output queue; written on the X queue
  // only while no sample is out.
  std::atomic<bool> deliveriesClosed_{false};
  std::atomic<bool> outputThrew_{false};
  SampleBuffer sample_;
  std::weak_ptr<StreamOutput> deliveryOutput_;
  std::weak_ptr<CaptureStream> deliveryOwner_;

  // Released by releaseResources() in this order, reversed: the event watch
  // first, the connection last.
  std::unique_ptr<X11Connection> connection_;
  std::unique_ptr<X11ImageReader> reader_;
  std::unique_ptr<FrameSource> source_;
  std::optional<QueueDescriptor> watch_;
  QueueTimer grabTimer_;
  QueueTimer pollTimer_;
  FrameFitter fitter_;
};

}  // namespace fenwright::x11
