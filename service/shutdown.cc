#include "platform/capture/awaitable_capture.h"
#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {

// The timers, the stream and the listener belong to `queue`, so the
// shutdown runs there; a caller on another queue (a connection's) hands it
// over and returns, and the process ends from `queue` a moment later.
void FenwrightService::shutdownAndExit() {
  if (!queue.isCurrent()) {
    queue.async([self = shared_from_this()] { self->shutdownAndExit(); });
    return;
  }
  log::helperLogger().info("shutdown — invalidating listener + exit");
  for (auto* timer : {&sentinelTimer, &visibilityTimer, &testPatternTimer}) {
    if (*timer) {
      (*timer)->cancel();
      timer->reset();
    }
  }
  if (stream) {
    launchTask([weak = weak_from_this()]() -> Task<> {
      if (auto self = weak.lock()) co_await self->stopStream();
    });
  }
  if (listener) {
    listener->invalidate();
    // Torn down with the service, not here: this may run while the
    // listener's own queue waits on us.
    retiredListener_ = std::move(listener);
  }
  exit_(0);
}

Task<> FenwrightService::stopStream() {
  co_await queue.enter();
  auto current = stream;
  if (!current) co_return;
  auto stopped = co_await stopCapture(*current);
  if (!stopped) {
    log::helperLogger().error("stopCapture failed: {}", stopped.error().localizedDescription);
  }
  queue.async([weak = weak_from_this(), gone = current.get()] {
    if (auto self = weak.lock()) {
      // A later stream may be made at the same address.
      const CaptureStream* ended = gone;
      self->streamEndedByItself_.compare_exchange_strong(ended, nullptr);
      self->stream.reset();
    }
    log::helperLogger().info("SCStream stopped");
  });
}

}  // namespace fenwright
