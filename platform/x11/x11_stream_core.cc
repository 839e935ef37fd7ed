#include "platform/x11/x11_stream_core.h"

#include <algorithm>
#include <new>
#include <utility>

#include "platform/dispatch/serial_queue.h"
#include "platform/log/logger.h"
#include "platform/pixel_format.h"
#include "platform/x11/region_frame_source.h"
#include "platform/capture/complete_safely.h"
#include "platform/x11/window_frame_source.h"
#include "platform/x11/x11_queue.h"

namespace fenwright::x11 {
namespace {

constexpr std::int64_t kLargestFrameSide = 16384;
// Pointer polling when the configuration sets no frame limit.
constexpr std::chrono::milliseconds kFastestPoll{16};
// How early a grab may come on the interval grid (at most a quarter of
// it): absorbs the jitter of a source that changes at a multiple of the
// frame rate on a busy machine.
constexpr std::chrono::milliseconds kEarliest{8};
// How long after the interval a change that fell inside it waits for the
// next one before it is grabbed by itself: covers a source changing at
// 60 Hz or faster, so its frames show its latest repaint.
constexpr std::chrono::milliseconds kTrailing{20};

std::chrono::nanoseconds intervalOf(const FrameInterval& interval) {
  if (interval.value <= 0 || interval.timescale <= 0) return std::chrono::nanoseconds(0);
  double seconds = static_cast<double>(interval.value) / interval.timescale;
  if (seconds > 3600) seconds = 3600;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(seconds));
}

void complete(Completion<Done>& completion, CaptureStatus status) {
  completeSafely("x11", completion, std::move(status));
}

}  // namespace

// Holds the core, and with it the memory a sample views, while the sample is
// out; when the block that carries it is done (run, or dropped with its
// queue) the core goes back to the X queue, which learns the memory is free.
class StreamCore::SampleLease {
 public:
  explicit SampleLease(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}
  SampleLease(SampleLease&&) noexcept = default;
  SampleLease& operator=(SampleLease&&) = delete;
  SampleLease(const SampleLease&) = delete;
  SampleLease& operator=(const SampleLease&) = delete;
  ~SampleLease() {
    if (core_) x11Queue().carryOn([core = std::move(core_)] { core->sampleReturned(); });
  }
  StreamCore& core() const { return *core_; }

 private:
  std::shared_ptr<StreamCore> core_;
};

StreamCore::StreamCore(std::string displayName, ContentFilter filter,
                       StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate)
    : displayName_(std::move(displayName)),
      filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      sample_(SampleBuffer::frame(ImageView{}, FrameStatus::complete)),
      grabTimer_(x11Queue().executor()),
      pollTimer_(x11Queue().executor()) {}

StreamCore::~StreamCore() { releaseResources(); }

void StreamCore::addOutput(std::weak_ptr<StreamOutput> output, SerialQueue& queue) {
  if (state_ == State::stopped) return;
  auto taker = output.lock();
  takesArriving_ = taker && taker->takesArrivingRows();
  output_ = std::move(output);
  outputQueue_ = &queue;
  if (state_ == State::running) {
    changed();
    schedule();
  }
}

CaptureResult<std::unique_ptr<FrameSource>> StreamCore::makeSource(const ContentFilter& filter) {
  if (filter.kind() == ContentFilter::Kind::desktopIndependentWindow)
    return WindowFrameSource::create(*connection_, filter.window().windowID);
  // Excluded windows cannot be cut out of an uncomposited screen; the
  // service never asks for any.
  return RegionFrameSource::create(*connection_, filter.display(), configuration_.sourceRect(),
                                   configuration_.showsCursor());
}

void StreamCore::start(std::weak_ptr<CaptureStream> owner, Completion<Done> completion) {
  if (state_ != State::idle) {
    complete(completion,
             CaptureError{state_ == State::running ? "the stream is already capturing"
                                                   : "the stream has stopped; make a new one"});
    return;
  }
  const std::int64_t width = configuration_.width();
  const std::int64_t height = configuration_.height();
  if (width < 1 || height < 1 || width > kLargestFrameSide || height > kLargestFrameSide) {
    complete(completion, CaptureError{"frames of " + std::to_string(width) + "×" +
                                      std::to_string(height) + " cannot be made"});
    return;
  }
  if (configuration_.pixelFormat() != kPixelFormatBGRA) {
    complete(completion, CaptureError{"only BGRA frames can be made"});
    return;
  }

  auto opened = X11Connection::open(displayName_);
  if (!opened) {
    complete(completion, opened.error());
    return;
  }
  connection_ = std::move(opened.value());
  auto source = makeSource(filter_);
  if (!source) {
    releaseResources();
    complete(completion, source.error());
    return;
  }
  source_ = std::move(source.value());
  reader_ = std::make_unique<X11ImageReader>(*connection_);
  std::error_code error;
  watch_.emplace(x11Queue().executor());
  watch_->assign(connection_->fileDescriptor(), error);
  if (error) {
    watch_->release();
    releaseResources();
    complete(completion, CaptureError{"cannot watch the X connection: " + error.message()});
    return;
  }

  fitter_ = FrameFitter(static_cast<int>(width), static_cast<int>(height));
  interval_ = intervalOf(configuration_.minimumFrameInterval());
  owner_ = std::move(owner);
  state_ = State::running;
  changed();
  // asio's timer queue grows the first time a timer waits: let that be
  // now, not in the middle of a steady stream.
  armGrabTimer(Clock::now());
  awaitEvents();
  restartPolling();
  complete(completion, Done{});
  pumpEvents(false);
}

void StreamCore::updateFilter(const ContentFilter& filter, Completion<Done> completion) {
  if (state_ == State::stopped) {
    complete(completion, CaptureError{"the stream has stopped"});
    return;
  }
  if (state_ == State::idle) {
    filter_ = filter;
    complete(completion, Done{});
    return;
  }
  if (filter.kind() == ContentFilter::Kind::desktopIndependentWindow &&
      source_->captures(filter.window().windowID)) {
    filter_ = filter;
    complete(completion, Done{});
    return;
  }
  auto source = makeSource(filter);
  if (!source) {
    complete(completion, source.error());
    pumpEvents(false);
    return;
  }
  // The old source lets go of its window here; a sample still out views
  // memory of the reader or the fitter, not of the source.
  source_ = std::move(source.value());
  // Sends the old window's release now, not with whatever request comes next.
  xcb_flush(connection_->get());
  filter_ = filter;
  changed();
  restartPolling();
  complete(completion, Done{});
  pumpEvents(false);
}

void StreamCore::stop(Completion<Done> completion) {
  if (state_ == State::running) closeDeliveries();
  state_ = State::stopped;
  if (inFlight_) {
    stopWaiters_.push_back(std::move(completion));
    return;
  }
  releaseResources();
  complete(completion, Done{});
}

void StreamCore::deliverCurrentFrame() {
  if (state_ != State::running) return;
  changed();
  schedule();
}

void StreamCore::abandon() {
  if (state_ == State::running) closeDeliveries();
  state_ = State::stopped;
  if (!inFlight_) releaseResources();
}

void StreamCore::awaitEvents() {
  watch_->async_wait(asio::posix::descriptor_base::wait_read,
                     [weak = weak_from_this()](const std::error_code& error) {
                       auto self = weak.lock();
                       if (!self || error || self->state_ != State::running) return;
                       self->pumpEvents(true);
                       if (self->state_ == State::running) self->awaitEvents();
                     });
}

bool StreamCore::takeEvents(bool readSocket) {
  while (state_ == State::running) {
    xcb_connection_t* c = connection_->get();
    XcbEvent event(readSocket ? xcb_poll_for_event(c) : xcb_poll_for_queued_event(c));
    if (!event) break;
    // Errors of requests whose failure is expected and handled where they
    // show (naming the pixmap of a window that is not viewable).
    if (event->response_type == 0) continue;
    switch (source_->handleEvent(*event)) {
      case FrameSource::Change::none:
        break;
      case FrameSource::Change::missed:
        missed_ = true;
        changed();
        break;
      case FrameSource::Change::content:
      case FrameSource::Change::rebuilt:
        changed();
        break;
      case FrameSource::Change::gone:
        endWithError(source_->endReason());
        return false;
    }
  }
  if (state_ != State::running) return false;
  if (connection_->hasError()) {
    endWithError(kConnectionLost);
    return false;
  }
  return true;
}

void StreamCore::pumpEvents(bool readSocket) {
  if (takeEvents(readSocket)) schedule();
}

std::chrono::nanoseconds StreamCore::pollInterval() const {
  return interval_ > kFastestPoll ? interval_ : std::chrono::nanoseconds(kFastestPoll);
}

void StreamCore::restartPolling() {
  ++pollGeneration_;
  pollTimer_.cancel();
  if (!source_->needsPolling()) return;
  pollDue_ = Clock::now() + pollInterval();
  armPollTimer(pollGeneration_);
}

void StreamCore::armPollTimer(unsigned generation) {
  pollTimer_.expires_at(pollDue_);
  pollTimer_.async_wait([weak = weak_from_this(), generation](const std::error_code& error) {
    auto self = weak.lock();
    // A tick that was already due when polling restarted belongs to the old
    // source.
    if (!self || error || generation != self->pollGeneration_ || self->state_ != State::running)
      return;
    auto now = Clock::now();
    self->pollDue_ += self->pollInterval();
    if (self->pollDue_ < now) self->pollDue_ = now + self->pollInterval();
    if (self->source_->poll() == FrameSource::Change::content) self->changed();
    self->pumpEvents(false);
    if (self->state_ == State::running) self->armPollTimer(generation);
  });
}

void StreamCore::changed() {
  dirty_ = true;
  // Reported changes stop the reports until the next subtract.
  listening_ = false;
  changedAt_ = Clock::now();
}

void StreamCore::schedule() {
  if (state_ != State::running || inFlight_ || !dirty_ || outputQueue_ == nullptr) return;
  const auto now = Clock::now();
  if (hasGrabbed_ && interval_ > std::chrono::nanoseconds(0)) {
    const auto early = std::min<std::chrono::nanoseconds>(kEarliest, interval_ / 4);
    const auto open = grid_ + interval_ - early;
    const auto trailing = open + std::min<std::chrono::nanoseconds>(kTrailing, interval_ / 2);
    if (now < open) {
      armGrabTimer(open);
      return;
    }
    // A change inside the interval is dropped for the first one after it,
    // whose picture is fresh; the trailing grab takes it when none comes.
    // Only then are the changes asked for again, so a source that keeps
    // changing inside the interval is not heard of at every step.
    if (changedAt_ < open && now < trailing) {
      if (!listening_) {
        listening_ = true;
        source_->listen();
      }
      armGrabTimer(trailing);
      return;
    }
  }
  grabAndDeliver(now);
}

void StreamCore::armGrabTimer(Clock::time_point due) {
  // One that is armed is due no later; it schedules again when it fires.
  if (grabTimerArmed_) return;
  grabTimerArmed_ = true;
  grabTimer_.expires_at(due);
  grabTimer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
    auto self = weak.lock();
    if (!self) return;
    self->grabTimerArmed_ = false;
    if (!error) self->schedule();
  });
}

void StreamCore::grabAndDeliver(Clock::time_point now) {
  dirty_ = false;
  listening_ = false;
  grid_ = hasGrabbed_ ? std::max(now, grid_ + interval_) : now;
  hasGrabbed_ = true;
  grabOnce(false);
}

void StreamCore::grabOnce(bool repair) {
  try {
    FrameSource::Grab grab = source_->grab(*reader_, fitter_, takesArriving_);
    if (grab.status == X11ImageReader::Status::ok && grab.arriving) {
      // The output draws the rows while the server copies the next ones;
      // the check below waits for the sample to come back.
      settlePending_ = true;
      repairing_ = repair;
      deliver(grab);
      outOfMemory_ = false;
      return;
    }
    if (grab.status == X11ImageReader::Status::ok) {
      // Damage drawn before the grab began may arrive only with its reply:
      // rows it names that were not read are read now, so the frame shows
      // all the server had drawn, not a part of one repaint.
      missed_ = false;
      if (!takeEvents(false)) return;
      if (!source_->keep() || missed_) {
        dirty_ = false;
        grab = source_->grab(*reader_, fitter_, false);
        // Still unsure: the next interval tries again; the last frame stays.
        if (grab.status == X11ImageReader::Status::ok) {
          if (!takeEvents(false)) return;
          if (!source_->keep()) {
            changed();
            grab.status = X11ImageReader::Status::failed;
          }
        }
      }
    }
    switch (grab.status) {
      case X11ImageReader::Status::lost:
        endWithError(kConnectionLost);
        return;
      case X11ImageReader::Status::failed:
        // Nothing to show now (an unmapped window); an event will say when.
        break;
      case X11ImageReader::Status::ok:
        deliver(grab);
        outOfMemory_ = false;
        break;
    }
  } catch (const std::bad_alloc&) {
    // The frame is skipped; the next change tries again. One line per spell.
    if (!outOfMemory_)
      log::helperLogger().error("x11: out of memory reading a frame — frames are skipped");
    outOfMemory_ = true;
  }
  pumpEvents(false);
}

bool StreamCore::settleGrab() {
  switch (reader_->settle()) {
    case X11ImageReader::Status::lost:
      endWithError(kConnectionLost);
      return false;
    case X11ImageReader::Status::failed:
      // The frame kept the rest of the one before; an event will say when
      // there is something to show again.
      source_->grabFailed();
      return true;
    case X11ImageReader::Status::ok:
      break;
  }
  missed_ = false;
  if (!takeEvents(false)) return false;
  if (source_->keep() && !missed_) return true;
  // Part of a repaint was shown: the rest follows at once, but only once.
  if (repairing_) {
    changed();
    return true;
  }
  dirty_ = false;
  grabOnce(true);
  return false;
}

void StreamCore::deliver(const FrameSource::Grab& grab) {
  sample_.imageBuffer = grab.frame;
  sample_.geometry = grab.geometry;
  sample_.arriving = grab.arriving;
  sample_.opaque = grab.opaque;
  deliveryOutput_ = output_;
  deliveryOwner_ = owner_;
  inFlight_ = true;
  // The block carries the lease alone, the size of the block that brings it
  // back: asio recycles each one's memory for the other, so a steady stream
  // allocates nothing here.
  outputQueue_->carryOn([lease = SampleLease(shared_from_this())] {
    StreamCore& core = lease.core();
    if (core.deliveriesClosed_.load(std::memory_order_acquire)) return;
    auto receiver = core.deliveryOutput_.lock();
    auto stream = core.deliveryOwner_.lock();
    if (!receiver || !stream) return;
    try {
      receiver->streamDidOutputSampleBuffer(*stream, core.sample_, StreamOutputType::screen);
    } catch (...) {
      if (!core.outputThrew_.exchange(true))
        log::helperLogger().error("x11: a stream output threw — the sample was dropped");
    }
  });
}

void StreamCore::sampleReturned() {
  inFlight_ = false;
  if (state_ == State::stopped) {
    releaseResources();
    auto waiters = std::move(stopWaiters_);
    stopWaiters_.clear();
    for (auto& waiter : waiters) complete(waiter, Done{});
    return;
  }
  if (std::exchange(settlePending_, false) && !settleGrab()) return;
  schedule();
}

void StreamCore::endWithError(const std::string& reason) {
  if (state_ != State::running) return;
  closeDeliveries();
  state_ = State::stopped;
  if (!inFlight_) releaseResources();
  auto delegate = delegate_.lock();
  auto stream = owner_.lock();
  if (!delegate || !stream) return;
  try {
    delegate->streamDidStopWithError(*stream, CaptureError{reason});
  } catch (...) {
    log::helperLogger().error("x11: a stream delegate threw on stop — ignored");
  }
}

void StreamCore::closeDeliveries() {
  deliveriesClosed_.store(true, std::memory_order_release);
  ++pollGeneration_;
  pollTimer_.cancel();
  grabTimer_.cancel();
  grabTimerArmed_ = false;
  if (watch_) {
    // The descriptor belongs to xcb: stop watching it without closing it.
    watch_->release();
    watch_.reset();
  }
}

void StreamCore::releaseResources() {
  if (watch_) {
    watch_->release();
    watch_.reset();
  }
  source_.reset();
  reader_.reset();
  connection_.reset();
}

}  // namespace fenwright::x11
