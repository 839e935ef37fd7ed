#pragma once

#include "config/pip_sentinel_config.h"

namespace fenwright {

// Region mode only for the exact word "region"; every other source,
// "Region" included, is window mode.
inline bool isRegionMode(const PiPSentinelConfig& config) { return config.source == "region"; }

// Whether the configuration names something to capture, or the test pattern
// should show instead. Startup and the sentinel watcher decide alike.
inline bool picksCaptureSource(const PiPSentinelConfig& config) {
  if (isRegionMode(config)) return config.regionWidth > 0 && config.regionHeight > 0;
  return config.windowID.has_value();
}

}  // namespace fenwright
