#include <chrono>
#include <utility>

#include "capture/sentinel_reaction.h"
#include "capture/window_lookup.h"
#include "config/pip_sentinel_reader.h"
#include "platform/capture/awaitable_capture.h"
#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {

using namespace std::chrono_literals;

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
  SentinelReaction reaction = sentinelReaction(currentConfig, fresh);
  if (reaction == SentinelReaction::shutDown) {
    log::helperLogger().info("sentinel flipped to disabled — shutting down");
    shutdownAndExit();
    return;
  }
  if (reaction == SentinelReaction::nothing) return;

  PiPSentinelConfig previous = std::exchange(currentConfig, fresh);
  ++configChanges_;
  log::helperLogger().info("{}", sentinelChangeLine(previous, fresh));
  launchReaction({reaction, fresh.windowID});
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
    case SentinelReaction::swap:
      co_await reconfigureContentFilter(*reaction.windowID);
      break;
    case SentinelReaction::restart:
      co_await stopStream();
      co_await startStreamAsync();
      break;
    case SentinelReaction::testPattern:
      co_await stopStream();
      queue.async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startTestPatternTimer();
      });
      break;
    case SentinelReaction::nothing:
    case SentinelReaction::shutDown:
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
  const CaptureWindow* window = findWindow(content.value().windows, windowID);
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
