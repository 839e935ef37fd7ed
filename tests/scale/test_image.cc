#include "tests/scale/test_image.h"

#include <algorithm>
#include <random>

namespace fenwright::testing {
namespace {

TestImage blank(int width, int height, int bytesPerRow) {
  bytesPerRow = bytesPerRow > 0 ? bytesPerRow : 4 * width;
  return {width, height, bytesPerRow, std::vector<std::uint8_t>(std::size_t(bytesPerRow) * height, 0xa5)};
}

std::uint32_t bgra(unsigned b, unsigned g, unsigned r, unsigned a) {
  return b | g << 8 | r << 16 | a << 24;
}

}  // namespace

TestImage TestImage::uniform(int width, int height, std::uint32_t value) {
  TestImage image = blank(width, height, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image.set(x, y, value);
  return image;
}

TestImage TestImage::textLike(int width, int height, std::uint32_t seed, int bytesPerRow) {
  TestImage image = blank(width, height, bytesPerRow);
  std::mt19937 random(seed);
  auto uniformInt = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };

  const int spanX = std::max(width - 1, 1), spanY = std::max(height - 1, 1);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.set(x, y, bgra(255 * x / spanX, 255 * y / spanY, 255 * (x + y) / (spanX + spanY), 255));

  // Bands of 1-pixel stripes, horizontal and vertical: the hardest case for
  // a filter that skips source pixels.
  for (int band = 0; band < 6; ++band) {
    int x0 = uniformInt(0, width - 1), y0 = uniformInt(0, height - 1);
    int x1 = std::min(width, x0 + uniformInt(8, 200)), y1 = std::min(height, y0 + uniformInt(8, 120));
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) image.set(x, y, (band % 2 ? x : y) % 2 ? 0xffffffff : 0xff000000);
  }

  // Lines of glyphs: small dark rectangles, a few translucent (premultiplied).
  for (int baseline = uniformInt(2, 12); baseline + 10 < height; baseline += uniformInt(11, 16)) {
    for (int x = uniformInt(0, 20); x < width;) {
      int glyphWidth = uniformInt(1, 5), glyphHeight = uniformInt(3, 9);
      unsigned alpha = uniformInt(0, 9) == 0 ? static_cast<unsigned>(uniformInt(40, 200)) : 255u;
      unsigned b = static_cast<unsigned>(uniformInt(0, 90)), g = static_cast<unsigned>(uniformInt(0, 90)),
               r = static_cast<unsigned>(uniformInt(0, 255));
      std::uint32_t colour = bgra(b * alpha / 255, g * alpha / 255, r * alpha / 255, alpha);
      for (int y = std::max(0, baseline - glyphHeight); y < baseline; ++y)
        for (int gx = x; gx < std::min(width, x + glyphWidth); ++gx) image.set(gx, y, colour);
      x += glyphWidth + uniformInt(1, 3) + (uniformInt(0, 7) == 0 ? uniformInt(4, 12) : 0);
    }
  }
  return image;
}

}  // namespace fenwright::testing
