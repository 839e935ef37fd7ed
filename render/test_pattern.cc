#include "render/test_pattern.h"

#include <cmath>

namespace fenwright {

// Interim per-pixel version; replaced by the pixman gradient.
void drawTestPattern(double phase, std::uint8_t* pixels, int width, int height, int bytesPerRow) {
  double t = phase / M_PI;
  double a = t - std::trunc(t);
  double b = (a + 0.5) - std::trunc(a + 0.5);
  double c0[3] = {a, 0.3, 1 - a};
  double c1[3] = {1 - b, 0.6, b};
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = pixels + static_cast<long>(y) * bytesPerRow;
    for (int x = 0; x < width; ++x) {
      double d = std::hypot(x + 0.5 - 320.0, y + 0.5 - 180.0) / 384.0;
      if (d > 1) d = 1;
      std::uint8_t* p = row + x * 4;
      p[2] = static_cast<std::uint8_t>(std::lround((c0[0] + d * (c1[0] - c0[0])) * 255));
      p[1] = static_cast<std::uint8_t>(std::lround((c0[1] + d * (c1[1] - c0[1])) * 255));
      p[0] = static_cast<std::uint8_t>(std::lround((c0[2] + d * (c1[2] - c0[2])) * 255));
      p[3] = 255;
    }
  }
}

}  // namespace fenwright
