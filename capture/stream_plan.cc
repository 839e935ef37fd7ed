#include "capture/stream_plan.h"

#include "capture/capture_mode.h"
#include "capture/window_lookup.h"
#include "platform/pixel_format.h"

namespace fenwright {
namespace {

constexpr std::int64_t kCaptureWidth = 1280;
constexpr std::int64_t kCaptureHeight = 720;

const CaptureDisplay* findDisplay(const std::vector<CaptureDisplay>& displays, std::uint32_t id) {
  for (const auto& display : displays)
    if (display.displayID == id) return &display;
  return nullptr;
}

StreamConfiguration configurationFor(const PiPSentinelConfig& config) {
  StreamConfiguration configuration;
  configuration.setWidth(kCaptureWidth);
  configuration.setHeight(kCaptureHeight);
  configuration.setMinimumFrameInterval({1, 30});
  configuration.setPixelFormat(kPixelFormatBGRA);
  configuration.setShowsCursor(isRegionMode(config));
  if (isRegionMode(config)) {
    configuration.setSourceRect(
        {static_cast<double>(config.regionX), static_cast<double>(config.regionY),
         static_cast<double>(config.regionWidth), static_cast<double>(config.regionHeight)});
  }
  return configuration;
}

std::variant<StreamPlan, StreamFallback> planRegion(const PiPSentinelConfig& config,
                                                    const std::vector<CaptureDisplay>& displays,
                                                    std::uint32_t mainDisplayID) {
  if (config.regionWidth < 1 || config.regionHeight < 1) {
    return StreamFallback{
        "startStreamAsync: region mode without dimensions; falling back to test pattern"};
  }
  const CaptureDisplay* display = findDisplay(displays, config.regionDisplayID);
  if (!display) display = findDisplay(displays, mainDisplayID);
  if (!display && !displays.empty()) display = &displays.front();
  if (!display) return StreamFallback{"startStreamAsync: no display available for region capture"};
  std::string description = "region " + std::to_string(config.regionWidth) + "×" +
                            std::to_string(config.regionHeight) + " at (" +
                            std::to_string(config.regionX) + "," + std::to_string(config.regionY) +
                            ") on display " + std::to_string(display->displayID);
  return StreamPlan{ContentFilter::display(*display), configurationFor(config),
                    std::move(description)};
}

std::variant<StreamPlan, StreamFallback> planWindow(const PiPSentinelConfig& config,
                                                    const std::vector<CaptureWindow>& windows) {
  if (!config.windowID) {
    return StreamFallback{
        "startStreamAsync: window mode without window_id; falling back to test pattern"};
  }
  const CaptureWindow* window = findWindow(windows, *config.windowID);
  if (!window) {
    return StreamFallback{"startStreamAsync: window id=" + std::to_string(*config.windowID) +
                          " not in SCShareableContent; window may have closed. Falling back to "
                          "test pattern."};
  }
  std::string description = "window id=" + std::to_string(*config.windowID) +
                            " title=" + window->title.value_or("<untitled>");
  return StreamPlan{ContentFilter::desktopIndependentWindow(*window), configurationFor(config),
                    std::move(description)};
}

}  // namespace

std::variant<StreamPlan, StreamFallback> planStream(const PiPSentinelConfig& config,
                                                    const ShareableContent& content,
                                                    std::uint32_t mainDisplayID) {
  if (isRegionMode(config)) return planRegion(config, content.displays, mainDisplayID);
  return planWindow(config, content.windows);
}

}  // namespace fenwright
