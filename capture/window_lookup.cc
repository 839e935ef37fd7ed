#include "capture/window_lookup.h"

namespace fenwright {

const CaptureWindow* findWindow(const std::vector<CaptureWindow>& windows, std::uint32_t id) {
  for (const auto& window : windows)
    if (window.windowID == id) return &window;
  return nullptr;
}

}  // namespace fenwright
