#include <string>

#include "capture/capture_mode.h"
#include "platform/capture/awaitable_capture.h"
#include "platform/log/logger.h"
#include "service/fenwright_service.h"

namespace fenwright {
namespace {

constexpr std::int64_t kCaptureWidth = 1280;
constexpr std::int64_t kCaptureHeight = 720;
constexpr std::uint32_t kPixelFormatBGRA = 0x42475241;

const CaptureDisplay* findDisplay(const std::vector<CaptureDisplay>& displays, std::uint32_t id) {
  for (const auto& display : displays)
    if (display.displayID == id) return &display;
  return nullptr;
}

const CaptureWindow* findWindow(const std::vector<CaptureWindow>& windows, std::uint32_t id) {
  for (const auto& window : windows)
    if (window.windowID == id) return &window;
  return nullptr;
}

}  // namespace

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

  std::optional<ContentFilter> filter;
  std::string description;
  const auto& displays = content.value().displays;
  if (isRegionMode(config)) {
    if (config.regionWidth < 1 || config.regionHeight < 1) {
      logger.error(
          "startStreamAsync: region mode without dimensions; falling back to test pattern");
      fallBackToTestPattern();
      co_return;
    }
    const CaptureDisplay* display = findDisplay(displays, config.regionDisplayID);
    if (!display) display = findDisplay(displays, capture_->mainDisplayID());
    if (!display && !displays.empty()) display = &displays.front();
    if (!display) {
      logger.error("startStreamAsync: no display available for region capture");
      fallBackToTestPattern();
      co_return;
    }
    filter = ContentFilter::display(*display, {});
    description = "region " + std::to_string(config.regionWidth) + "×" +
                  std::to_string(config.regionHeight) + " at (" + std::to_string(config.regionX) +
                  "," + std::to_string(config.regionY) + ") on display " +
                  std::to_string(display->displayID);
  } else {
    if (!config.windowID) {
      logger.error(
          "startStreamAsync: window mode without window_id; falling back to test pattern");
      fallBackToTestPattern();
      co_return;
    }
    const CaptureWindow* window = findWindow(content.value().windows, *config.windowID);
    if (!window) {
      logger.error(
          "startStreamAsync: window id={} not in SCShareableContent; window may have closed. "
          "Falling back to test pattern.",
          *config.windowID);
      fallBackToTestPattern();
      co_return;
    }
    filter = ContentFilter::desktopIndependentWindow(*window);
    description = "window id=" + std::to_string(*config.windowID) +
                  " title=" + window->title.value_or("<untitled>");
  }

  StreamConfiguration configuration;
  configuration.setWidth(kCaptureWidth);
  configuration.setHeight(kCaptureHeight);
  configuration.setMinimumFrameInterval({1, 30});
  configuration.setPixelFormat(kPixelFormatBGRA);
  configuration.setShowsCursor(isRegionMode(config));
  configuration.setScalesToFit(false);
  if (isRegionMode(config)) {
    configuration.setSourceRect(
        {static_cast<double>(config.regionX), static_cast<double>(config.regionY),
         static_cast<double>(config.regionWidth), static_cast<double>(config.regionHeight)});
  }

  auto weak = weak_from_this();
  auto newStream = capture_->makeStream(*filter, configuration, weak);
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

  queue.async([weak, newStream, description] {
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
