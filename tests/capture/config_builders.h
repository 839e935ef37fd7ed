#pragma once

#include <cstdint>
#include <optional>

#include "config/pip_sentinel_config.h"

namespace fenwright {

inline PiPSentinelConfig windowPick(std::optional<std::uint32_t> id,
                                    const char* source = "window") {
  PiPSentinelConfig config;
  config.enabled = true;
  config.source = source;
  config.windowID = id;
  return config;
}

inline PiPSentinelConfig regionPick(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h,
                                    std::uint32_t display = 1) {
  PiPSentinelConfig config = windowPick(std::nullopt, "region");
  config.regionX = x;
  config.regionY = y;
  config.regionWidth = w;
  config.regionHeight = h;
  config.regionDisplayID = display;
  return config;
}

}  // namespace fenwright
