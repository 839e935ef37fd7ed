#pragma once

#include <cstdint>
#include <vector>

#include "platform/image_view.h"
#include "render/area_scaler.h"

namespace fenwright::x11 {

// Where a captured picture lies in what the frame is to show: a canvas of
// width x height with the picture's top-left corner at (x, y), black where
// the picture does not reach (a region partly off its display).
struct FrameCanvas {
  int width = 0, height = 0, x = 0, y = 0;
};

// Turns a captured picture into a frame no larger than the configured size.
// What fits is delivered at its own size, so that it is scaled only once,
// into the surface: a picture that is its whole canvas is passed through
// untouched (no copy), a canvas that it covers only partly is copied into
// a frame of the canvas's size. A larger canvas is shrunk into a frame of
// the configured size (aspect kept, area average), centred. Uncovered
// pixels are transparent black. The frame buffer is allocated once and
// reused, so a stream of frames allocates nothing. Copyable only by moving.
class FrameFitter {
 public:
  FrameFitter() = default;
  FrameFitter(int frameWidth, int frameHeight);
  FrameFitter(const FrameFitter&) = delete;
  FrameFitter& operator=(const FrameFitter&) = delete;
  FrameFitter(FrameFitter&&) = default;
  FrameFitter& operator=(FrameFitter&&) = default;

  int frameWidth() const { return width_; }
  int frameHeight() const { return height_; }

  // The view is valid until the next call, and `picture` must stay valid as
  // long as the view when it is returned itself.
  ImageView fit(const ImageView& picture) {
    return fit(picture, {picture.width, picture.height, 0, 0});
  }
  ImageView fit(const ImageView& picture, const FrameCanvas& canvas);

 private:
  struct Placement {
    int width = -1, height = -1, x = 0, y = 0, pictureWidth = 0, pictureHeight = 0;
    bool operator==(const Placement&) const = default;
  };

  int width_ = 0;
  int height_ = 0;
  AreaScaler scaler_;
  std::vector<std::uint8_t> frame_;
  Placement lastCopy_;
};

}  // namespace fenwright::x11
