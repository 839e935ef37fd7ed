#include "render/frame_compositor.h"

#include <algorithm>
#include <cstring>

namespace fenwright {

FrameCompositor::FrameCompositor(int targetWidth, int targetHeight)
    : targetWidth_(targetWidth), targetHeight_(targetHeight) {}

// Interim nearest-sample fit; replaced by the area-average scaler.
void FrameCompositor::compose(const ImageView& source, std::uint8_t* target,
                              int targetBytesPerRow) {
  double w = source.width, h = source.height;
  double s = std::min(targetWidth_ / w, targetHeight_ / h);
  double tx = (targetWidth_ - s * w) * 0.5, ty = (targetHeight_ - s * h) * 0.5;
  for (int y = 0; y < targetHeight_; ++y) {
    std::uint8_t* out = target + static_cast<long>(y) * targetBytesPerRow;
    for (int x = 0; x < targetWidth_; ++x) {
      double sx = (x + 0.5 - tx) / s, sy = (y + 0.5 - ty) / s;
      std::uint8_t* p = out + x * 4;
      if (sx < 0 || sy < 0 || sx >= w || sy >= h) {
        p[0] = p[1] = p[2] = 0;
        p[3] = 255;
        continue;
      }
      const std::uint8_t* q = source.row(static_cast<int>(sy)) + static_cast<int>(sx) * 4;
      unsigned a = q[3];
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(q[c] * a / 255);
      p[3] = 255;
    }
  }
}

}  // namespace fenwright
