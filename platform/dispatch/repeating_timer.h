#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/steady_time_source.h"

namespace fenwright {

class SerialQueue;

// A repeating timer whose handler runs on one serial queue. Deadlines
// advance by the interval from the previous deadline, so ticks do not drift;
// there is no leeway. Ticks missed while the queue was stalled coalesce into
// the one that finally runs, and the next deadline is one interval after it,
// so a stall never turns into a burst. Once cancel() has returned, or the
// last owner has let go of the timer, the handler is never called again,
// even for a tick that was already due.
class RepeatingTimer {
 public:
  using Clock = TimeSource::Clock;

  static std::shared_ptr<RepeatingTimer> start(SerialQueue& queue,
                                               Clock::duration firstDeadline,
                                               Clock::duration interval,
                                               std::function<void()> handler,
                                               TimeSource& time = steadyTimeSource());
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void cancel();
  bool isCancelled() const;

 private:
  struct State;
  explicit RepeatingTimer(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace fenwright
