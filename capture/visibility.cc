#include "capture/visibility.h"

#include "capture/window_lookup.h"

namespace fenwright {

bool isWindowVisible(const std::vector<CaptureWindow>& windows, std::uint32_t id) {
  const CaptureWindow* window = findWindow(windows, id);
  return window != nullptr && window->isOnScreen;
}

PauseChange pauseChange(bool visible, bool paused) {
  if (!visible && !paused) return PauseChange::pause;
  if (visible && paused) return PauseChange::resume;
  return PauseChange::none;
}

}  // namespace fenwright
