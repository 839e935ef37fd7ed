#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/dispatch/time_source.h"

namespace fenwright {

// A clock that stands still until the test moves it, serving the timers of
// one queue. Its alarms live on that queue, so it needs no lock.
class FakeTimeSource final : public TimeSource {
 public:
  explicit FakeTimeSource(SerialQueue& queue);
  ~FakeTimeSource() override;
  FakeTimeSource(const FakeTimeSource&) = delete;
  FakeTimeSource& operator=(const FakeTimeSource&) = delete;

  Clock::time_point now() const override;
  std::unique_ptr<Alarm> alarm(SerialQueue& queue) override;

  // Moves the clock forward and queues the waking of every alarm whose
  // deadline has come, behind whatever the queue is running.
  void advance(Clock::duration by);

 private:
  struct Wait;
  class FakeAlarm;
  SerialQueue& queue_;
  std::atomic<Clock::rep> now_;
  std::vector<std::shared_ptr<Wait>> waits_;  // on `queue_`
};

}  // namespace fenwright
