#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "config/pip_sentinel_config.h"
#include "platform/capture/shareable_content.h"

namespace fenwright {

// Three windows (untitled, off screen) after a first one with a twin listed
// later, and two displays side by side.
inline ShareableContent sampleContent() {
  return {{{42, std::string("Notes"), true},
           {43, std::nullopt, true},
           {44, std::string("Minimised"), false},
           {42, std::string("Twin"), true}},
          {{1, 0, 0, 1920, 1080}, {2, 1920, 0, 1280, 1024}}};
}

inline PiPSentinelConfig windowConfig(std::optional<std::uint32_t> id,
                                      const char* source = "window") {
  PiPSentinelConfig config;
  config.enabled = true;
  config.source = source;
  config.windowID = id;
  return config;
}

inline PiPSentinelConfig regionConfig(std::int64_t x, std::int64_t y, std::int64_t w,
                                      std::int64_t h, std::uint32_t display = 1) {
  PiPSentinelConfig config = windowConfig(std::nullopt, "region");
  config.regionX = x;
  config.regionY = y;
  config.regionWidth = w;
  config.regionHeight = h;
  config.regionDisplayID = display;
  return config;
}

}  // namespace fenwright
