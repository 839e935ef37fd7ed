#include "platform/x11/frame_fitter.h"

#include <algorithm>
#include <cstring>

namespace fenwright::x11 {

FrameFitter::FrameFitter(int frameWidth, int frameHeight, long largestWholePicture)
    : width_(frameWidth), height_(frameHeight), largestWholePicture_(largestWholePicture) {}

FrameFitter::Shrink FrameFitter::shrinkOf(const FrameCanvas& canvas) const {
  const double scale = std::min(static_cast<double>(width_) / canvas.width,
                                static_cast<double>(height_) / canvas.height);
  return {scale, (width_ - scale * canvas.width) * 0.5 + scale * canvas.x,
          (height_ - scale * canvas.height) * 0.5 + scale * canvas.y};
}

FrameGeometry FrameFitter::geometryOf(const ImageView& picture, const FrameCanvas& canvas) const {
  const Shrink shrink = shrinkOf(canvas);
  return {width_,       height_,
          shrink.left,  shrink.top,
          shrink.scale * picture.width, shrink.scale * picture.height};
}

std::uint8_t* FrameFitter::frameMemory() {
  if (frame_.empty()) frame_.resize(static_cast<std::size_t>(width_) * height_ * 4);
  return frame_.data();
}

void FrameFitter::beginShrinking(int pictureWidth, int pictureHeight, const FrameCanvas& canvas) {
  const Shrink shrink = shrinkOf(canvas);
  scaler_.begin(pictureWidth, pictureHeight, shrink.scale, shrink.left, shrink.top, frameMemory(),
                width_, height_, width_ * 4, AreaScaler::Background::transparentBlack);
  lastCopy_ = {};
}

int FrameFitter::bandRows(int pictureWidth) const {
  return std::max(1, width_ * height_ / pictureWidth);
}

ImageView FrameFitter::fit(const ImageView& picture, const FrameCanvas& canvas) {
  const bool wholeCanvas = canvas.x == 0 && canvas.y == 0 && picture.width == canvas.width &&
                           picture.height == canvas.height;
  if (wholeCanvas && fits(canvas)) return picture;
  if (canvas.width <= 0 || canvas.height <= 0) return {};
  frameMemory();

  if (!fits(canvas)) {
    const Shrink shrink = shrinkOf(canvas);
    scaler_.fitAt(picture, shrink.scale, shrink.left, shrink.top, frame_.data(), width_, height_,
                  width_ * 4, AreaScaler::Background::transparentBlack);
    lastCopy_ = {};
    return shrunkFrame();
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
