#include <chrono>
#include <string>

#include "capture/capture_mode.h"
#include "config/pip_sentinel_reader.h"
#include "platform/capture/awaitable_capture.h"
#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {
namespace {

using namespace std::chrono_literals;

std::string windowText(const std::optional<std::uint32_t>& windowID) {
  return windowID ? std::to_string(*windowID) : "nil";
}

bool regionChanged(const PiPSentinelConfig& a, const PiPSentinelConfig& b) {
  return a.regionX != b.regionX || a.regionY != b.regionY || a.regionWidth != b.regionWidth ||
         a.regionHeight != b.regionHeight || a.regionDisplayID != b.regionDisplayID;
}

}  // namespace

void FenwrightService::startSentinelWatcher() {
  sentinelTimer = RepeatingTimer::start(queue, 150ms, 150ms, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->checkSentinel();
  });
}

// One poll, on `queue`.
void FenwrightService::checkSentinel() {
  auto read = probePiPSentinel();
  // Out of descriptors or memory for a moment says nothing about the file:
  // keep what is in force and read again at the next poll.
  if (read.transientFailure) {
    if (!sentinelReadFailing_) {
      log::helperLogger().error(
          "sentinel: read failed ({}) — keeping the current configuration, retrying",
          *read.transientFailure);
    }
    sentinelReadFailing_ = true;
    return;
  }
  if (std::exchange(sentinelReadFailing_, false)) {
    log::helperLogger().info("sentinel: readable again");
  }
  const PiPSentinelConfig& fresh = read.config;
  if (!fresh.enabled) {
    log::helperLogger().info("sentinel flipped to disabled — shutting down");
    shutdownAndExit();
    return;
  }
  bool sourceChanged = fresh.source != currentConfig.source;
  bool windowChanged = fresh.windowID != currentConfig.windowID;
  bool regionDiffers = regionChanged(fresh, currentConfig);
  if (!sourceChanged && !windowChanged && !regionDiffers) return;

  PiPSentinelConfig previous = std::exchange(currentConfig, fresh);
  log::helperLogger().info("sentinel changed: source {} → {}, wid {} → {}", previous.source,
                           fresh.source, windowText(previous.windowID),
                           windowText(fresh.windowID));

  PendingReaction reaction{Reaction::testPattern, fresh.windowID};
  if (!sourceChanged && !regionDiffers && fresh.source == "window" && fresh.windowID) {
    reaction.kind = Reaction::swap;
  } else if (picksCaptureSource(fresh)) {
    reaction.kind = Reaction::restart;
  }
  launchReaction(reaction);
}

// Reactions run one after another, so the last sentinel written is always
// the one in force: a change seen while one is in flight waits for it, and
// replaces any change that was already waiting (on `queue`).
void FenwrightService::launchReaction(PendingReaction reaction) {
  if (reactionInFlight_) {
    nextReaction_ = reaction;
    return;
  }
  reactionInFlight_ = true;
  launchTask([weak = weak_from_this(), reaction]() -> Task<> {
    if (auto self = weak.lock()) co_await self->runReaction(reaction);
    if (auto self = weak.lock()) self->queue.async([self] { self->reactionFinished(); });
  });
}

void FenwrightService::reactionFinished() {
  reactionInFlight_ = false;
  if (nextReaction_) {
    PendingReaction next = *nextReaction_;
    nextReaction_.reset();
    launchReaction(next);
  }
}

Task<> FenwrightService::runReaction(PendingReaction reaction) {
  switch (reaction.kind) {
    case Reaction::swap:
      co_await reconfigureContentFilter(*reaction.windowID);
      break;
    case Reaction::restart:
      co_await stopStream();
      co_await startStreamAsync();
      break;
    case Reaction::testPattern:
      co_await stopStream();
      queue.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startTestPatternTimer();
      });
      break;
  }
}

Task<> FenwrightService::reconfigureContentFilter(std::uint32_t windowID) {
  auto& logger = log::helperLogger();
  co_await queue.enter();
  auto current = stream;
  if (!current) {
    co_await startStreamAsync();
    co_return;
  }
  // On-screen windows only: a minimised window counts as gone here.
  auto content = co_await shareableContent(*capture_, false, true);
  if (!content) {
    logger.error("reconfigureContentFilter SCShareableContent failed: {}",
                 content.error().localizedDescription);
    co_return;
  }
  const CaptureWindow* window = nullptr;
  for (const auto& candidate : content.value().windows) {
    if (candidate.windowID == windowID) {
      window = &candidate;
      break;
    }
  }
  if (!window) {
    logger.error("reconfigureContentFilter: window id={} gone", windowID);
    co_return;
  }
  auto updated =
      co_await updateContentFilter(*current, ContentFilter::desktopIndependentWindow(*window));
  if (updated) {
    logger.info("in-place filter swap → window id={}", windowID);
  } else if (streamEndedByItself_.load(std::memory_order_acquire) == current.get()) {
    // The stream ended by itself (its window closed) and takes no new
    // window; rather than keep the dead window's last picture, the new pick
    // gets a fresh stream.
    co_await stopStream();
    co_await startStreamAsync();
  } else {
    logger.error("updateContentFilter failed: {}", updated.error().localizedDescription);
  }
}

}  // namespace fenwright
