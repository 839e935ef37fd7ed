#pragma once

#include <cstdint>

#include "platform/image_view.h"

namespace fenwright {

// Fits a BGRA image of any size into the target, scaled uniformly, centred,
// composited over opaque black. Keeps its working buffers between frames.
class FrameCompositor {
 public:
  FrameCompositor(int targetWidth, int targetHeight);
  void compose(const ImageView& source, std::uint8_t* target, int targetBytesPerRow);

 private:
  int targetWidth_;
  int targetHeight_;
};

}  // namespace fenwright
