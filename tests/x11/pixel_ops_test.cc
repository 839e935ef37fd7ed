// The cursor drawn into a picture. (Forcing alpha opaque: every depth-24
// window in WindowStream, whose pixels are compared whole.)

#include "platform/x11/pixel_ops.h"

#include <algorithm>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace fenwright::x11 {
namespace {

// Premultiplied source-over, as the cursor must look.
std::uint32_t over(std::uint32_t s, std::uint32_t d) {
  std::uint32_t a = s >> 24, result = 0;
  for (int c = 0; c < 4; ++c) {
    std::uint32_t sc = (s >> (8 * c)) & 0xFF, dc = (d >> (8 * c)) & 0xFF;
    result |= std::min<std::uint32_t>(sc + (dc * (255 - a) + 127) / 255, 255) << (8 * c);
  }
  return result;
}

// A cursor of opaque, transparent and half-transparent pixels, placed
// inside, across each edge and wholly outside a picture with padded rows:
// every pixel under it blended, every other pixel and the padding as before.
TEST(PixelOps, DrawCursorBlendsPremultipliedAndClipsAtEveryEdge) {
  const std::uint32_t background = 0xFF204060;
  const std::uint32_t cursor[9] = {0xFF000000, 0x00000000, 0x80808080, 0xFF010203, 0x00000000,
                                   0x80808080, 0xFFFFFFFF, 0x40404040, 0xFFFFFFFF};
  for (auto [left, top] : {std::pair{1, 0}, {-1, 1}, {2, -1}, {-2, -2}, {3, 2}, {-3, 0}, {4, 0},
                           {0, -3}, {0, 3}}) {
    std::vector<std::uint32_t> picture(5 * 3, background);  // 4 x 3 and a padding column
    drawCursor(reinterpret_cast<std::uint8_t*>(picture.data()), 4, 3, 20, {cursor, 3, 3}, left, top);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const int cx = x - left, cy = y - top;
        const bool under = x < 4 && cx >= 0 && cx < 3 && cy >= 0 && cy < 3;
        EXPECT_EQ(picture[5 * y + x], under ? over(cursor[3 * cy + cx], background) : background)
            << "cursor at " << left << "," << top << ", pixel " << x << "," << y;
      }
  }
}

}  // namespace
}  // namespace fenwright::x11
