#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "scale/image_view.h"

namespace fenwright::testing {

// A BGRA picture owned by a test, premultiplied, with any row stride.
struct TestImage {
  int width = 0, height = 0, bytesPerRow = 0;
  std::vector<std::uint8_t> bytes;

  ImageView view() const { return ImageView{width, height, bytesPerRow, bytes.data()}; }
  void set(int x, int y, std::uint32_t bgra) {
    std::memcpy(bytes.data() + static_cast<std::size_t>(y) * bytesPerRow + 4 * x, &bgra, 4);
  }

  // Every pixel `bgra` (little-endian: 0xAARRGGBB), rows tight.
  static TestImage uniform(int width, int height, std::uint32_t bgra);

  // Like a screen of text: smooth gradients, bands of 1-pixel stripes,
  // lines of small glyph-like rectangles (some translucent), all drawn from
  // `seed`. Stride 0 means tight; padding holds junk that must never show.
  static TestImage textLike(int width, int height, std::uint32_t seed, int bytesPerRow = 0);
};

}  // namespace fenwright::testing
