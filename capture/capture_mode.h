#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "config/pip_sentinel_config.h"

namespace fenwright {

// What `source` says. Only the exact lower-case words count: any other
// text ("Region" included) captures as a window does, yet is not a window
// the watchers follow.
enum class SourceKind { window, region, otherWord };

inline SourceKind sourceKind(std::string_view source) {
  if (source == "region") return SourceKind::region;
  if (source == "window") return SourceKind::window;
  return SourceKind::otherWord;
}

inline bool isRegionMode(const PiPSentinelConfig& config) {
  return sourceKind(config.source) == SourceKind::region;
}

// The window a swap retargets and the visibility watcher pauses on: only
// with a "window" source; a present 0 is a window.
inline std::optional<std::uint32_t> followedWindow(const PiPSentinelConfig& config) {
  if (sourceKind(config.source) != SourceKind::window) return std::nullopt;
  return config.windowID;
}

// Whether the configuration names something to capture, or the test pattern
// should show instead. Startup and the sentinel watcher decide alike.
inline bool picksCaptureSource(const PiPSentinelConfig& config) {
  if (isRegionMode(config)) return config.regionWidth > 0 && config.regionHeight > 0;
  return config.windowID.has_value();
}

}  // namespace fenwright
