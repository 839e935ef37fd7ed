#include "tools/view/viewer_window.h"

#include <algorithm>
#include <cstring>

namespace fenwright::view {

Expected<std::unique_ptr<ViewerWindow>> ViewerWindow::open(int width, int height,
                                                           std::string_view title) {
  auto window = x11::X11TopWindow::open("", width, height, title);
  if (!window) return unexpected(window.error());
  return std::unique_ptr<ViewerWindow>(new ViewerWindow(std::move(window).value()));
}

void ViewerWindow::refit(const ImageView& frame) {
  const int width = window_->width(), height = window_->height();
  if (fittedFor_[0] == width && fittedFor_[1] == height && fittedFor_[2] == frame.width &&
      fittedFor_[3] == frame.height) {
    return;
  }
  fittedFor_[0] = width;
  fittedFor_[1] = height;
  fittedFor_[2] = frame.width;
  fittedFor_[3] = frame.height;
  canvas_.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  // The largest rectangle of the frame's shape that fits, centred.
  const long w = width, h = height, fw = frame.width, fh = frame.height;
  if (w * fh <= h * fw) {
    fitWidth_ = width;
    fitHeight_ = static_cast<int>(std::max(1L, w * fh / fw));
  } else {
    fitHeight_ = height;
    fitWidth_ = static_cast<int>(std::max(1L, h * fw / fh));
  }
  fitX_ = (width - fitWidth_) / 2;
  fitY_ = (height - fitHeight_) / 2;
  sourceColumns_.resize(static_cast<std::size_t>(fitWidth_));
  for (int x = 0; x < fitWidth_; ++x)
    sourceColumns_[static_cast<std::size_t>(x)] =
        static_cast<int>((2L * x + 1) * fw / (2L * fitWidth_));
}

void ViewerWindow::present(const ImageView& frame) {
  if (frame.width <= 0 || frame.height <= 0 || frame.data == nullptr) return;
  refit(frame);
  const std::size_t width = static_cast<std::size_t>(window_->width());
  for (int y = 0; y < window_->height(); ++y) {
    std::uint32_t* out = canvas_.data() + static_cast<std::size_t>(y) * width;
    if (y < fitY_ || y >= fitY_ + fitHeight_) {
      std::fill(out, out + width, 0u);
      continue;
    }
    const int sourceY =
        static_cast<int>((2L * (y - fitY_) + 1) * frame.height / (2L * fitHeight_));
    const std::uint8_t* row = frame.row(sourceY);
    std::fill(out, out + fitX_, 0u);
    std::uint32_t* inside = out + fitX_;
    for (int x = 0; x < fitWidth_; ++x)
      std::memcpy(&inside[x], row + 4 * sourceColumns_[static_cast<std::size_t>(x)], 4);
    std::fill(inside + fitWidth_, out + width, 0u);
  }
  window_->putPixels(canvas_.data());
}

}  // namespace fenwright::view
