#pragma once

#include "platform/capture/shareable_content.h"

namespace fenwright {

// What a stream captures: one window alone, wherever it is and whatever
// covers it, or a whole display with everything on it.
class ContentFilter {
 public:
  enum class Kind { desktopIndependentWindow, display };

  static ContentFilter desktopIndependentWindow(const CaptureWindow& window) {
    ContentFilter filter(Kind::desktopIndependentWindow);
    filter.window_ = window;
    return filter;
  }
  static ContentFilter display(const CaptureDisplay& display) {
    ContentFilter filter(Kind::display);
    filter.display_ = display;
    return filter;
  }

  Kind kind() const { return kind_; }
  const CaptureWindow& window() const { return window_; }
  const CaptureDisplay& display() const { return display_; }

 private:
  explicit ContentFilter(Kind kind) : kind_(kind) {}
  Kind kind_;
  CaptureWindow window_;
  CaptureDisplay display_;
};

}  // namespace fenwright
