#include "platform/dispatch/repeating_timer.h"

#include <atomic>

#include "platform/dispatch/serial_queue.h"

namespace fenwright {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
  State(SerialQueue& q, TimeSource& t, Clock::duration i, std::function<void()> h)
      : queue(q), time(t), interval(i), handler(std::move(h)) {}

  SerialQueue& queue;
  TimeSource& time;
  std::unique_ptr<TimeSource::Alarm> alarm;  // touched only on `queue`
  Clock::duration interval;
  std::function<void()> handler;
  std::atomic<bool> cancelled{false};

  void arm(Clock::time_point deadline) {
    alarm->arm(deadline, [self = shared_from_this(), deadline] { self->fire(deadline); });
  }

  void fire(Clock::time_point deadline) {
    if (cancelled.load(std::memory_order_acquire)) return;
    // A tick that runs when its successor is already due stands for every
    // tick missed meanwhile; the period starts again from it.
    auto next = deadline + interval;
    if (auto firedAt = time.now(); next <= firedAt) next = firedAt + interval;
    handler();
    if (!cancelled.load(std::memory_order_acquire)) arm(next);
  }
};

std::shared_ptr<RepeatingTimer> RepeatingTimer::start(SerialQueue& queue,
                                                      Clock::duration firstDeadline,
                                                      Clock::duration interval,
                                                      std::function<void()> handler,
                                                      TimeSource& time) {
  auto state = std::make_shared<State>(queue, time, interval, std::move(handler));
  auto deadline = time.now() + firstDeadline;
  queue.async([state, deadline] {
    if (state->cancelled.load(std::memory_order_acquire)) return;
    state->alarm = state->time.alarm(state->queue);
    state->arm(deadline);
  });
  return std::shared_ptr<RepeatingTimer>(new RepeatingTimer(std::move(state)));
}

RepeatingTimer::RepeatingTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() {
  if (state_->cancelled.exchange(true, std::memory_order_acq_rel)) return;
  // The alarm belongs to the queue; cancel it there so the pending wait ends
  // and releases its state.
  state_->queue.async([state = state_] {
    if (state->alarm) state->alarm->cancel();
  });
}

bool RepeatingTimer::isCancelled() const {
  return state_->cancelled.load(std::memory_order_acquire);
}

}  // namespace fenwright
