#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scale/image_view.h"
#include "platform/expected.h"
#include "platform/x11/x11_top_window.h"

namespace fenwright::view {

// The viewer's window: BGRA frames scaled to fit, letterboxed on black,
// nearest neighbour. Drawing allocates only when the window or frame size
// changes.
class ViewerWindow {
 public:
  using Events = x11::X11TopWindow::Events;

  static Expected<std::unique_ptr<ViewerWindow>> open(int width, int height, std::string_view title);

  std::uint32_t id() const { return window_->id(); }
  Events processEvents() { return window_->processEvents(); }
  void setTitle(std::string_view utf8) { window_->setTitle(utf8); }
  void present(const ImageView& frame);

 private:
  explicit ViewerWindow(std::unique_ptr<x11::X11TopWindow> window) : window_(std::move(window)) {}
  void refit(const ImageView& frame);

  std::unique_ptr<x11::X11TopWindow> window_;
  std::vector<std::uint32_t> canvas_;
  std::vector<int> sourceColumns_;
  int fittedFor_[4] = {-1, -1, -1, -1};  // window w, h, frame w, h
  int fitX_ = 0, fitY_ = 0, fitWidth_ = 0, fitHeight_ = 0;
};

}  // namespace fenwright::view
