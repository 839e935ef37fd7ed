#include "platform/x11/frame_fitter.h"

#include <algorithm>
#include <cstring>

namespace fenwright::x11 {

FrameFitter::FrameFitter(int frameWidth, int frameHeight)
    : width_(frameWidth), height_(frameHeight) {}

ImageView FrameFitter::fit(const ImageView& picture) {
  if (picture.width == width_ && picture.height == height_) return picture;

  const int bytesPerRow = width_ * 4;
  if (frame_.empty()) frame_.resize(static_cast<std::size_t>(bytesPerRow) * height_);
  ImageView frame{width_, height_, bytesPerRow, frame_.data()};

  if (picture.width > width_ || picture.height > height_) {
    double scale = std::min(static_cast<double>(width_) / picture.width,
                            static_cast<double>(height_) / picture.height);
    scaler_.fit(picture, scale, frame_.data(), width_, height_, bytesPerRow,
                AreaScaler::Background::transparentBlack);
    lastCopy_ = {};
    return frame;
  }

  // Whole-pixel offsets: a half-pixel shift would blur the picture for
  // nothing.
  Placement placement{picture.width, picture.height, (width_ - picture.width) / 2,
                      (height_ - picture.height) / 2};
  if (placement != lastCopy_) {
    std::memset(frame_.data(), 0, frame_.size());
    lastCopy_ = placement;
  }
  for (int y = 0; y < picture.height; ++y) {
    std::memcpy(frame_.data() + static_cast<std::size_t>(placement.y + y) * bytesPerRow +
                    static_cast<std::size_t>(placement.x) * 4,
                picture.row(y), static_cast<std::size_t>(picture.width) * 4);
  }
  return frame;
}

}  // namespace fenwright::x11
