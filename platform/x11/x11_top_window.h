#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/expected.h"

namespace fenwright::x11 {

// A small, resizable, always-on-top window (_NET_WM_STATE_ABOVE) that takes
// whole window-sized BGRA pictures. Used from one thread.
class X11TopWindow {
 public:
  // What happened since the last processEvents().
  struct Events {
    bool mapped = false;        // shown for the first time
    bool needsRepaint = false;  // exposed or resized: put the last picture again
    bool quit = false;          // q, Escape or the close button
    bool lost = false;          // the X server went away
  };

  // Opens on `displayName`, or $DISPLAY when it is empty, and maps the window.
  static Expected<std::unique_ptr<X11TopWindow>> open(const std::string& displayName, int width,
                                                    int height, std::string_view title);
  ~X11TopWindow();
  X11TopWindow(const X11TopWindow&) = delete;
  X11TopWindow& operator=(const X11TopWindow&) = delete;

  std::uint32_t id() const;
  int width() const;
  int height() const;

  // Handles everything queued, without blocking.
  Events processEvents();
  void setTitle(std::string_view utf8);
  // width() x height() pixels, packed rows.
  void putPixels(const std::uint32_t* pixels);

 private:
  struct State;
  explicit X11TopWindow(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace fenwright::x11
