#include "platform/wayland/wayland_stream_core.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/capture/complete_safely.h"
#include "platform/dispatch/shared_executor.h"
#include "platform/log/logger.h"
#include "platform/pixel_format.h"
#include "platform/wayland/pipewire_receiver.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/wayland_queue.h"

namespace fenwright::wayland {
namespace {

constexpr int kFastestRate = 30;

std::chrono::nanoseconds intervalOf(const FrameInterval& interval) {
  const auto fastest = std::chrono::nanoseconds(1'000'000'000 / kFastestRate);
  if (interval.value <= 0 || interval.timescale <= 0) return fastest;
  double seconds = std::min(3600.0, static_cast<double>(interval.value) / interval.timescale);
  return std::max(fastest, std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::duration<double>(seconds)));
}

void complete(Completion<Done>& completion, CaptureStatus status) {
  completeSafely("wayland", completion, std::move(status));
}

void stopWatching(std::optional<QueueDescriptor>& watch) {
  if (!watch) return;
  // The descriptor is the library's: stop watching without closing it.
  watch->release();
  watch.reset();
}

}  // namespace

// Holds the core, and the buffer a sample views, while the sample is out.
class StreamCore::SampleLease {
 public:
  explicit SampleLease(std::shared_ptr<StreamCore> core) : core_(std::move(core)) {}
  SampleLease(SampleLease&&) noexcept = default;
  SampleLease& operator=(SampleLease&&) = delete;
  SampleLease(const SampleLease&) = delete;
  SampleLease& operator=(const SampleLease&) = delete;
  ~SampleLease() {
    if (core_) waylandQueue().async([core = std::move(core_)] { core->sampleReturned(); });
  }
  StreamCore& core() const { return *core_; }

 private:
  std::shared_ptr<StreamCore> core_;
};

StreamCore::StreamCore(PickResolver resolver, ContentFilter filter,
                       StreamConfiguration configuration, std::weak_ptr<StreamDelegate> delegate)
    : resolver_(std::move(resolver)),
      filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)),
      sample_(SampleBuffer::frame(ImageView{}, FrameStatus::complete)),
      timer_(waylandQueue().executor()) {}

StreamCore::~StreamCore() { closeSource(); }

void StreamCore::addOutput(std::weak_ptr<StreamOutput> output, SerialQueue& queue) {
  if (state_ == State::stopped) return;
  output_ = std::move(output);
  outputQueue_ = &queue;
  if (state_ == State::running) schedule();
}

std::optional<CaptureError> StreamCore::open(const ContentFilter& filter) {
  // The portal may take seconds (a dialog, a pick that no longer opens).
  StallGuard stall;
  const bool region = filter.kind() == ContentFilter::Kind::display;
  const std::uint32_t id = region ? filter.display().displayID : filter.window().windowID;
  auto pick = resolver_.pick(id);
  if (!pick) return CaptureError{"no portal pick has id " + std::to_string(id)};
  PortalRequest request;
  request.source = region ? PortalSource::monitor : PortalSource::window;
  request.showsCursor = region && configuration_.showsCursor();
  request.restoreToken = resolver_.tokenFor(pick->token);
  auto session = PortalSession::open(request);
  if (!session)
    return CaptureError{"the portal could not open the pick (" + session.error() +
                        "); pick it again"};
  if (!session.value()->restoreToken().empty())
    resolver_.remember(pick->token, session.value()->restoreToken());

  PipeWireReceiver::Events events;
  std::weak_ptr<StreamCore> weak = weak_from_this();
  events.frameReady = [weak] {
    // Taken after the loop's turn, never inside it.
    waylandQueue().async([weak] {
      if (auto self = weak.lock()) {
        self->fresh_ = true;
        self->schedule();
      }
    });
  };
  events.ended = [weak](const std::string& reason) {
    // Said from inside the loop's iteration: end after it.
    waylandQueue().async([weak, reason] {
      if (auto self = weak.lock()) self->endWithError(reason);
    });
  };
  auto receiver = PipeWireReceiver::connect(session.value()->takeRemote(),
                                            session.value()->nodeId(), kFastestRate,
                                            std::move(events));
  if (!receiver) return CaptureError{receiver.error()};
  session_ = std::move(session.value());
  receiver_ = std::move(receiver.value());
  return std::nullopt;
}

void StreamCore::closeSource() {
  stopWatching(sessionWatch_);
  stopWatching(receiverWatch_);
  loopDue_ = false;
  receiver_.reset();
  session_.reset();
}

void StreamCore::start(std::weak_ptr<CaptureStream> owner, Completion<Done> completion) {
  if (state_ != State::idle) {
    complete(completion,
             CaptureError{state_ == State::running ? "the stream is already capturing"
                                                   : "the stream has stopped; make a new one"});
    return;
  }
  if (configuration_.pixelFormat() != kPixelFormatBGRA) {
    complete(completion, CaptureError{"only BGRA frames can be made"});
    return;
  }
  if (auto error = open(filter_)) {
    closeSource();
    complete(completion, *error);
    return;
  }
  interval_ = intervalOf(configuration_.minimumFrameInterval());
  owner_ = std::move(owner);
  state_ = State::running;
  watchSession();
  watchReceiver();
  complete(completion, Done{});
  receiver_->iterate();
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
  if (inFlight_) {
    // The sample out views the old stream's buffer: swap once it is back.
    waylandQueue().async([weak = weak_from_this(), filter, completion]() mutable {
      if (auto self = weak.lock()) self->updateFilter(filter, std::move(completion));
    });
    return;
  }
  closeSource();
  fresh_ = false;
  if (auto error = open(filter)) {
    closeSource();
    complete(completion, *error);
    endWithError(error->localizedDescription);
    return;
  }
  filter_ = filter;
  watchSession();
  watchReceiver();
  complete(completion, Done{});
  receiver_->iterate();
}

void StreamCore::stop(Completion<Done> completion) {
  if (state_ == State::running) deliveriesClosed_.store(true, std::memory_order_release);
  state_ = State::stopped;
  timer_.cancel();
  if (inFlight_) {
    stopWaiters_.push_back(std::move(completion));
    return;
  }
  closeSource();
  complete(completion, Done{});
}

void StreamCore::deliverCurrentFrame() {
  if (state_ != State::running) return;
  wantCurrent_ = true;
  schedule();
}

void StreamCore::abandon() {
  deliveriesClosed_.store(true, std::memory_order_release);
  state_ = State::stopped;
  timer_.cancel();
  if (!inFlight_) closeSource();
}

void StreamCore::watchSession() {
  if (!session_) return;
  // sd-bus may hold messages it has already read: handle them before
  // waiting on the socket.
  if (!session_->process()) {
    endWithError("the portal closed the session: the window was closed or the sharing stopped");
    return;
  }
  if (!sessionWatch_) {
    sessionWatch_.emplace(waylandQueue().executor());
    std::error_code error;
    sessionWatch_->assign(session_->descriptor(), error);
    if (error) {
      sessionWatch_->release();
      sessionWatch_.reset();
      return;
    }
  }
  sessionWatch_->async_wait(asio::posix::descriptor_base::wait_read,
                            [weak = weak_from_this()](const std::error_code& error) {
                              auto self = weak.lock();
                              if (!self || error || self->state_ != State::running) return;
                              self->watchSession();
                            });
}

void StreamCore::watchReceiver() {
  if (!receiver_) return;
  if (!receiverWatch_) {
    receiverWatch_.emplace(waylandQueue().executor());
    std::error_code error;
    receiverWatch_->assign(receiver_->descriptor(), error);
    if (error) {
      receiverWatch_->release();
      receiverWatch_.reset();
      endWithError("cannot watch the PipeWire loop: " + error.message());
      return;
    }
  }
  receiverWatch_->async_wait(asio::posix::descriptor_base::wait_read,
                             [weak = weak_from_this()](const std::error_code& error) {
                               auto self = weak.lock();
                               if (!self || error || self->state_ != State::running ||
                                   !self->receiver_)
                                 return;
                               // The loop may drop the buffer a sample out
                               // still views: its turn waits for the return.
                               if (self->inFlight_) {
                                 self->loopDue_ = true;
                                 return;
                               }
                               self->receiver_->iterate();
                               self->watchReceiver();
                             });
}

void StreamCore::schedule() {
  if (state_ != State::running || inFlight_ || outputQueue_ == nullptr || !receiver_) return;
  if (!fresh_ && !wantCurrent_) return;
  const auto now = Clock::now();
  if (hasDelivered_ && now < lastDelivery_ + interval_) {
    if (!timerArmed_) {
      timerArmed_ = true;
      timer_.expires_at(lastDelivery_ + interval_);
      timer_.async_wait([weak = weak_from_this()](const std::error_code& error) {
        auto self = weak.lock();
        if (!self) return;
        self->timerArmed_ = false;
        if (!error) self->schedule();
      });
    }
    return;
  }
  std::optional<ImageView> picture;
  if (fresh_) picture = receiver_->takeNewest();
  fresh_ = false;
  if (!picture && wantCurrent_) picture = receiver_->current();
  wantCurrent_ = false;
  if (!picture) return;
  if (filter_.kind() == ContentFilter::Kind::display) picture = regionOf(*picture);
  if (!picture) return;
  hasDelivered_ = true;
  lastDelivery_ = now;
  deliver(*picture);
}

std::optional<ImageView> StreamCore::regionOf(const ImageView& picture) const {
  const auto& rect = configuration_.sourceRect();
  if (!rect) return picture;
  const long left = std::max(0L, std::lround(rect->x));
  const long top = std::max(0L, std::lround(rect->y));
  const long right = std::min<long>(picture.width, std::lround(rect->x + rect->width));
  const long bottom = std::min<long>(picture.height, std::lround(rect->y + rect->height));
  if (right <= left || bottom <= top) return std::nullopt;
  return ImageView{static_cast<int>(right - left), static_cast<int>(bottom - top),
                   picture.bytesPerRow, picture.row(static_cast<int>(top)) + left * 4};
}

void StreamCore::deliver(const ImageView& picture) {
  sample_.imageBuffer = picture;
  deliveryOutput_ = output_;
  deliveryOwner_ = owner_;
  inFlight_ = true;
  outputQueue_->async([lease = SampleLease(shared_from_this())] {
    StreamCore& core = lease.core();
    if (core.deliveriesClosed_.load(std::memory_order_acquire)) return;
    auto receiver = core.deliveryOutput_.lock();
    auto stream = core.deliveryOwner_.lock();
    if (!receiver || !stream) return;
    try {
      receiver->streamDidOutputSampleBuffer(*stream, core.sample_, StreamOutputType::screen);
    } catch (...) {
      // Dropped, like any sample the output cannot take.
    }
  });
}

void StreamCore::sampleReturned() {
  inFlight_ = false;
  if (state_ == State::stopped) {
    finishStop();
    return;
  }
  if (loopDue_ && receiver_) {
    loopDue_ = false;
    receiver_->iterate();
    watchReceiver();
  }
  schedule();
}

void StreamCore::finishStop() {
  closeSource();
  auto waiters = std::move(stopWaiters_);
  stopWaiters_.clear();
  for (auto& waiter : waiters) complete(waiter, Done{});
}

void StreamCore::endWithError(const std::string& reason) {
  if (state_ != State::running) return;
  deliveriesClosed_.store(true, std::memory_order_release);
  state_ = State::stopped;
  timer_.cancel();
  if (!inFlight_) closeSource();
  auto delegate = delegate_.lock();
  auto stream = owner_.lock();
  if (!delegate || !stream) return;
  try {
    delegate->streamDidStopWithError(*stream, CaptureError{reason});
  } catch (...) {
    log::helperLogger().error("wayland: a stream delegate threw on stop — ignored");
  }
}

}  // namespace fenwright::wayland
