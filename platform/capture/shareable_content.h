#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fenwright {

struct CaptureWindow {
  std::uint32_t windowID = 0;
  std::optional<std::string> title;
  bool isOnScreen = false;
};

struct CaptureDisplay {
  std::uint32_t displayID = 0;
  // Where the display lies on the screen, in pixels.
  std::int64_t x = 0;
  std::int64_t y = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// What can be captured at the moment of the query. Callers take the first
// match in list order.
struct ShareableContent {
  std::vector<CaptureWindow> windows;
  std::vector<CaptureDisplay> displays;
};

}  // namespace fenwright
