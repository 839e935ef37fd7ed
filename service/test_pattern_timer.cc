#include <chrono>

#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {

using namespace std::chrono_literals;

void FenwrightService::startTestPatternTimer() {
  auto timer = RepeatingTimer::start(queue, 0ms, 33ms, [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->phase += 0.05;
    self->frameBuffer->renderTestPattern(self->phase);
  });
  // Dropping a stored timer stops it; it fires no more.
  testPatternTimer = std::move(timer);
  log::helperLogger().info("test-pattern render timer started @ 30Hz (no window picked)");
}

}  // namespace fenwright
