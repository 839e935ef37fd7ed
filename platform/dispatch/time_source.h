#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace fenwright {

class SerialQueue;

// The clock a timer reads and waits on: steady_clock in the helper, a clock
// that moves only when told in tests, so they assert on deadlines instead of
// sleeping.
class TimeSource {
 public:
  using Clock = std::chrono::steady_clock;

  // One wait at a time for one queue; created, armed and cancelled on it.
  class Alarm {
   public:
    virtual ~Alarm() = default;
    // Runs `wake` on the queue once `deadline` has come. Arming again or
    // cancelling drops a wait that has not woken yet.
    virtual void arm(Clock::time_point deadline, std::function<void()> wake) = 0;
    virtual void cancel() = 0;
  };

  virtual ~TimeSource() = default;
  virtual Clock::time_point now() const = 0;
  virtual std::unique_ptr<Alarm> alarm(SerialQueue& queue) = 0;
};

}  // namespace fenwright
