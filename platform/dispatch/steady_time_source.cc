#include "platform/dispatch/steady_time_source.h"

#include "platform/dispatch/serial_queue.h"

namespace fenwright {
namespace {

class SteadyAlarm final : public TimeSource::Alarm {
 public:
  explicit SteadyAlarm(SerialQueue& queue) : timer_(queue.executor()) {}

  void arm(TimeSource::Clock::time_point deadline, std::function<void()> wake) override {
    timer_.expires_at(deadline);
    timer_.async_wait([wake = std::move(wake)](const std::error_code& error) {
      if (!error) wake();
    });
  }
  void cancel() override { timer_.cancel(); }

 private:
  QueueTimer timer_;
};

class SteadyTimeSource final : public TimeSource {
 public:
  Clock::time_point now() const override { return Clock::now(); }
  std::unique_ptr<Alarm> alarm(SerialQueue& queue) override {
    return std::make_unique<SteadyAlarm>(queue);
  }
};

}  // namespace

TimeSource& steadyTimeSource() {
  static SteadyTimeSource source;
  return source;
}

}  // namespace fenwright
