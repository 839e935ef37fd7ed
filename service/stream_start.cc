#include <string>
#include <variant>

#include "capture/capture_mode.h"
#include "capture/stream_plan.h"
#include "platform/capture/awaitable_capture.h"
#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {

// Never fails to its caller: whatever cannot become a running stream ends
// in the test pattern and one log line.
Task<> FenwrightService::startStreamAsync() {
  auto& logger = log::helperLogger();
  auto content = co_await shareableContent(*capture_, false, false);
  if (!content) {
    logger.error("SCShareableContent failed: {}", content.error().localizedDescription);
    fallBackToTestPattern();
    co_return;
  }

  // Read after the wait: a change stored meanwhile is the one that counts.
  // From here to the start request the task runs on `queue`.
  co_await queue.enter();
  PiPSentinelConfig config = currentConfig;

  // Asked only for a region: it may be a round trip to the display server.
  std::uint32_t mainDisplayID = isRegionMode(config) ? capture_->mainDisplayID() : 0;
  auto plan = planStream(config, content.value(), mainDisplayID);
  if (const auto* fallback = std::get_if<StreamFallback>(&plan)) {
    logger.error("{}", fallback->reason);
    fallBackToTestPattern();
    co_return;
  }
  const StreamPlan& chosen = std::get<StreamPlan>(plan);

  auto weak = weak_from_this();
  auto newStream = capture_->makeStream(chosen.filter, chosen.configuration, weak);
  std::optional<CaptureError> failure =
      newStream->addStreamOutput(weak, StreamOutputType::screen, sampleQueue);
  if (!failure) {
    auto started = co_await startCapture(*newStream);
    if (!started) failure = started.error();
  }
  if (failure) {
    logger.error("SCStream start failed: {}", failure->localizedDescription);
    fallBackToTestPattern();
    co_return;
  }

  queue.async([weak, newStream, description = chosen.description] {
    auto self = weak.lock();
    if (!self) return;
    self->stream = newStream;
    if (self->testPatternTimer) self->testPatternTimer->cancel();
    self->testPatternTimer.reset();
    log::helperLogger().info("SCStream started — {}", description);
  });
}

void FenwrightService::fallBackToTestPattern() {
  if (queue.isCurrent()) {
    startTestPatternTimer();
    return;
  }
  queue.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->startTestPatternTimer();
  });
}

}  // namespace fenwright
