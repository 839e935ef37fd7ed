#pragma once

#include <cstdint>
#include <vector>

#include "scale/image_view.h"

namespace fenwright::testing {

// A BGRA picture owned by a test, premultiplied, with any row stride.
struct TestImage {
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  std::vector<std::uint8_t> bytes;

  ImageView view() const { return ImageView{width, height, bytesPerRow, bytes.data()}; }
  std::uint8_t* pixel(int x, int y) {
    return bytes.data() + static_cast<std::size_t>(y) * bytesPerRow + 4 * x;
  }
  void set(int x, int y, std::uint32_t bgra);

  // Every pixel `bgra` (little-endian: 0xAARRGGBB). Stride 0 means tight;
  // padding bytes hold junk that must never show.
  static TestImage uniform(int width, int height, std::uint32_t bgra, int bytesPerRow = 0);

  // Like a screen of text: smooth gradients, bands of 1-pixel stripes,
  // lines of small glyph-like rectangles (some translucent), all drawn from
  // `seed`.
  static TestImage textLike(int width, int height, std::uint32_t seed, int bytesPerRow = 0);

  // The same pixels laid out with another stride.
  TestImage withStride(int bytesPerRow) const;
};

}  // namespace fenwright::testing
