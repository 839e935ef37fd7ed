#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/image_view.h"
#include "platform/expected.h"

namespace fenwright::x11 {

// A small, resizable, always-on-top window (_NET_WM_STATE_ABOVE) that shows
// BGRA frames scaled to fit, letterboxed on black, nearest neighbour. Used
// from one thread. Drawing allocates only when the window or frame size
// changes.
class ViewerWindow {
 public:
  // What happened since the last processEvents().
  struct Events {
    bool mapped = false;        // shown for the first time
    bool needsRepaint = false;  // exposed or resized: present() the last frame again
    bool quit = false;          // q, Escape or the close button
    bool lost = false;          // the X server went away
  };

  // Opens on `displayName`, or $DISPLAY when it is empty, and maps the window.
  static Expected<std::unique_ptr<ViewerWindow>> open(const std::string& displayName, int width,
                                                    int height, std::string_view title);
  ~ViewerWindow();
  ViewerWindow(const ViewerWindow&) = delete;
  ViewerWindow& operator=(const ViewerWindow&) = delete;

  std::uint32_t id() const;

  // Blocks until the X server has something for us or `timeout` passes.
  void waitForEvents(std::chrono::milliseconds timeout);
  // Handles everything queued, without blocking.
  Events processEvents();

  void setTitle(std::string_view utf8);
  void present(const ImageView& frame);

 private:
  struct State;
  explicit ViewerWindow(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace fenwright::x11
