#include "platform/fake/fake_time_source.h"

#include <cassert>
#include <optional>

#include "platform/dispatch/serial_queue.h"

namespace fenwright {

struct FakeTimeSource::Wait {
  std::optional<Clock::time_point> deadline;
  std::function<void()> wake;
};

class FakeTimeSource::FakeAlarm final : public TimeSource::Alarm {
 public:
  explicit FakeAlarm(std::shared_ptr<Wait> wait) : wait_(std::move(wait)) {}
  void arm(Clock::time_point deadline, std::function<void()> wake) override {
    wait_->deadline = deadline;
    wait_->wake = std::move(wake);
  }
  void cancel() override {
    wait_->deadline.reset();
    wait_->wake = nullptr;
  }

 private:
  std::shared_ptr<Wait> wait_;
};

FakeTimeSource::FakeTimeSource(SerialQueue& queue)
    : queue_(queue), now_(Clock::now().time_since_epoch().count()) {}

FakeTimeSource::~FakeTimeSource() {
  // A timer's pending wake holds the timer, which holds its alarm: drop the
  // wakes on the queue, after any cancel still queued there, or the pair
  // outlives the test.
  queue_.sync([this] {
    for (auto& wait : waits_) {
      wait->deadline.reset();
      wait->wake = nullptr;
    }
  });
}

TimeSource::Clock::time_point FakeTimeSource::now() const {
  return Clock::time_point(Clock::duration(now_.load(std::memory_order_acquire)));
}

std::unique_ptr<TimeSource::Alarm> FakeTimeSource::alarm(SerialQueue& queue) {
  assert(&queue == &queue_ && queue.isCurrent());
  (void)queue;
  return std::make_unique<FakeAlarm>(waits_.emplace_back(std::make_shared<Wait>()));
}

void FakeTimeSource::advance(Clock::duration by) {
  now_.fetch_add(by.count(), std::memory_order_acq_rel);
  queue_.async([this] {
    for (bool woke = true; woke;) {
      woke = false;
      // By index: a woken handler may start another timer.
      for (std::size_t i = 0; i < waits_.size(); ++i) {
        auto& wait = *waits_[i];
        if (!wait.deadline || *wait.deadline > now()) continue;
        wait.deadline.reset();
        auto wake = std::move(wait.wake);
        wake();
        woke = true;
      }
    }
  });
}

}  // namespace fenwright
