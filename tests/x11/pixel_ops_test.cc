#include "platform/x11/pixel_ops.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace fenwright::x11 {
namespace {

std::uint32_t load(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

TEST(PixelOps, ForceOpaqueAlphaSetsOnlyAlphaAndOnlyWithinTheRows) {
  const int stride = 16;  // 3 pixels and 4 padding bytes a row
  std::vector<std::uint8_t> bytes(stride * 2, 0x5A);
  bytes[4] = 0x56, bytes[7] = 0;
  forceOpaqueAlpha(bytes.data(), 3, 2, stride);
  EXPECT_EQ(load(bytes, 4), 0xFF5A5A56u);
  EXPECT_EQ(load(bytes, 0), 0xFF5A5A5Au);
  EXPECT_EQ(load(bytes, stride + 8), 0xFF5A5A5Au);
  EXPECT_EQ(load(bytes, 12), 0x5A5A5A5Au);
  EXPECT_EQ(load(bytes, stride + 12), 0x5A5A5A5Au);
}

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
  const int width = 4, height = 3, stride = 20;
  const std::uint32_t background = 0xFF204060;
  const std::uint32_t cursor[9] = {0xFF000000, 0x00000000, 0x80808080, 0xFF010203, 0x00000000,
                                   0x80808080, 0xFFFFFFFF, 0x40404040, 0xFFFFFFFF};
  for (auto [left, top] : {std::pair{1, 0}, {-1, 1}, {2, -1}, {-2, -2}, {3, 2}, {-3, 0}, {4, 0},
                           {0, -3}, {0, 3}}) {
    std::vector<std::uint8_t> picture(stride * height);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < 5; ++x) std::memcpy(&picture[y * stride + 4 * x], &background, 4);
    drawCursor(picture.data(), width, height, stride, {cursor, 3, 3}, left, top);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < 5; ++x) {
        const int cx = x - left, cy = y - top;
        const bool under = x < width && cx >= 0 && cx < 3 && cy >= 0 && cy < 3;
        EXPECT_EQ(load(picture, y * stride + 4 * x), under ? over(cursor[3 * cy + cx], background) : background)
            << "cursor at " << left << "," << top << ", pixel " << x << "," << y;
      }
  }
}

}  // namespace
}  // namespace fenwright::x11
