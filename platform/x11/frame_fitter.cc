#include "platform/x11/frame_fitter.h"

#include <algorithm>
#include <cstring>

namespace fenwright::x11 {

FrameFitter::FrameFitter(int frameWidth, int frameHeight)
    : width_(frameWidth), height_(frameHeight) {}

ImageView FrameFitter::fit(const ImageView& picture, const FrameCanvas& canvas) {
  const bool wholeCanvas = canvas.x == 0 && canvas.y == 0 && picture.width == canvas.width &&
                           picture.height == canvas.height;
  const bool fits = canvas.width <= width_ && canvas.height <= height_;
  if (wholeCanvas && fits) return picture;
  if (canvas.width <= 0 || canvas.height <= 0) return {};
  if (frame_.empty()) frame_.resize(static_cast<std::size_t>(width_) * height_ * 4);

  if (!fits) {
    const double scale = std::min(static_cast<double>(width_) / canvas.width,
                                  static_cast<double>(height_) / canvas.height);
    scaler_.fitAt(picture, scale, (width_ - scale * canvas.width) * 0.5 + scale * canvas.x,
                  (height_ - scale * canvas.height) * 0.5 + scale * canvas.y, frame_.data(),
                  width_, height_, width_ * 4, AreaScaler::Background::transparentBlack);
    lastCopy_ = {};
    return {width_, height_, width_ * 4, frame_.data()};
  }

  // The picture lies inside its canvas; clipping only guards the copy.
  const int bytesPerRow = canvas.width * 4;
  const int x0 = std::clamp(canvas.x, 0, canvas.width);
  const int y0 = std::clamp(canvas.y, 0, canvas.height);
  const int x1 = std::clamp(canvas.x + picture.width, x0, canvas.width);
  const int y1 = std::clamp(canvas.y + picture.height, y0, canvas.height);
  Placement placement{canvas.width, canvas.height, x0, y0, x1 - x0, y1 - y0};
  if (placement != lastCopy_) {
    std::memset(frame_.data(), 0, static_cast<std::size_t>(bytesPerRow) * canvas.height);
    lastCopy_ = placement;
  }
  for (int y = y0; y < y1; ++y) {
    std::memcpy(frame_.data() + static_cast<std::size_t>(y) * bytesPerRow +
                    static_cast<std::size_t>(x0) * 4,
                picture.row(y - canvas.y) + static_cast<std::size_t>(x0 - canvas.x) * 4,
                static_cast<std::size_t>(x1 - x0) * 4);
  }
  return {canvas.width, canvas.height, bytesPerRow, frame_.data()};
}

}  // namespace fenwright::x11
