#pragma once

#include <cstdint>
#include <vector>

#include "platform/image_view.h"
#include "render/area_scaler.h"

namespace fenwright::x11 {

// Turns a captured picture of any size into a frame of exactly the
// configured size: larger pictures are shrunk to fit (aspect kept, area
// average), smaller ones keep their size; either way centred, the rest
// transparent black. A picture of exactly the frame size is passed through
// untouched (no copy). The frame buffer is allocated once and reused, so a
// stream of frames allocates nothing. Copyable only by moving.
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
  ImageView fit(const ImageView& picture);

 private:
  struct Placement {
    int width = -1, height = -1, x = 0, y = 0;
    bool operator==(const Placement&) const = default;
  };

  int width_ = 0;
  int height_ = 0;
  AreaScaler scaler_;
  std::vector<std::uint8_t> frame_;
  Placement lastCopy_;
};

}  // namespace fenwright::x11
