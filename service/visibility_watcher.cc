#include <chrono>

#include "capture/capture_mode.h"
#include "capture/visibility.h"
#include "platform/capture/awaitable_capture.h"
#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {

using namespace std::chrono_literals;

namespace {

// The frames that came while paused were dropped, and a still window sends
// no more: without a fresh one the picture would show the past until the
// window next draws.
void showPresent(const std::shared_ptr<CaptureStream>& stream) {
  if (stream) stream->deliverCurrentFrame();
}

}  // namespace

void FenwrightService::startVisibilityWatcher() {
  visibilityTimer = RepeatingTimer::start(queue, 2s, 2s, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->checkVisibility();
  });
}

// One check, on `queue`. `paused` changes only on a transition, and only
// here; the stream itself is left running.
void FenwrightService::checkVisibility() {
  std::optional<std::uint32_t> followed = followedWindow(currentConfig);
  if (!followed) {
    if (paused.load(std::memory_order_relaxed)) {
      paused.store(false, std::memory_order_relaxed);
      log::helperLogger().info("visibility: not in window mode (source={}); unpaused",
                               currentConfig.source);
      showPresent(stream);
    }
    return;
  }
  std::uint32_t windowID = *followed;
  launchTask([weak = weak_from_this(), windowID, asked = configChanges_]() -> Task<> {
    auto self = weak.lock();
    if (!self) co_return;
    // Off-screen windows are listed too, so a minimised one is found.
    auto content = co_await shareableContent(*self->capture_, false, false);
    if (!content) co_return;
    bool visible = isWindowVisible(content.value().windows, windowID);
    self->queue.async([self, visible, windowID, asked] {
      // A window the sentinel has moved on from says nothing about the
      // one now followed, even under the same id.
      if (self->configChanges_ != asked) return;
      switch (pauseChange(visible, self->paused.load(std::memory_order_relaxed))) {
        case PauseChange::pause:
          self->paused.store(true, std::memory_order_relaxed);
          log::helperLogger().info(
              "visibility: window {} hidden/minimized → pause (freeze last frame)", windowID);
          break;
        case PauseChange::resume:
          self->paused.store(false, std::memory_order_relaxed);
          log::helperLogger().info("visibility: window {} returned → resume", windowID);
          showPresent(self->stream);
          break;
        case PauseChange::none:
          break;
      }
    });
  });
}

}  // namespace fenwright
