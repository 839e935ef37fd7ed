#include "platform/dispatch/repeating_timer.h"

#include <atomic>

#include <asio/steady_timer.hpp>

#include "platform/dispatch/serial_queue.h"

namespace fenwright {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
  State(SerialQueue& q, Clock::duration i, std::function<void()> h)
      : queue(q), timer(q.context()), interval(i), handler(std::move(h)) {}

  SerialQueue& queue;
  asio::steady_timer timer;  // touched only on `queue`
  Clock::duration interval;
  std::function<void()> handler;
  std::atomic<bool> cancelled{false};

  void arm(Clock::time_point deadline) {
    timer.expires_at(deadline);
    timer.async_wait([self = shared_from_this()](const std::error_code& error) {
      if (error || self->cancelled.load(std::memory_order_acquire)) return;
      auto next = self->timer.expiry() + self->interval;
      self->handler();
      if (!self->cancelled.load(std::memory_order_acquire)) self->arm(next);
    });
  }
};

std::shared_ptr<RepeatingTimer> RepeatingTimer::start(SerialQueue& queue,
                                                      Clock::duration firstDeadline,
                                                      Clock::duration interval,
                                                      std::function<void()> handler) {
  auto state = std::make_shared<State>(queue, interval, std::move(handler));
  auto deadline = Clock::now() + firstDeadline;
  queue.async([state, deadline] {
    if (!state->cancelled.load(std::memory_order_acquire)) state->arm(deadline);
  });
  return std::shared_ptr<RepeatingTimer>(new RepeatingTimer(std::move(state)));
}

RepeatingTimer::RepeatingTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() {
  if (state_->cancelled.exchange(true, std::memory_order_acq_rel)) return;
  // The asio timer belongs to the queue; cancel it there so the pending wait
  // ends and releases its state.
  state_->queue.async([state = state_] { state->timer.cancel(); });
}

bool RepeatingTimer::isCancelled() const {
  return state_->cancelled.load(std::memory_order_acquire);
}

}  // namespace fenwright
