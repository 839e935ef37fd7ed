#include "platform/x11/pixel_ops.h"

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

void store(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  std::memcpy(bytes.data() + offset, &value, 4);
}

TEST(PixelOps, ForceOpaqueAlphaSetsOnlyAlphaAndOnlyWithinTheRows) {
  const int width = 3, height = 2, stride = 16;  // 4 padding bytes a row
  std::vector<std::uint8_t> bytes(stride * height, 0x5A);
  store(bytes, 4, 0x00123456);
  forceOpaqueAlpha(bytes.data(), width, height, stride);
  EXPECT_EQ(load(bytes, 4), 0xFF123456u);
  EXPECT_EQ(load(bytes, 0), 0xFF5A5A5Au);
  EXPECT_EQ(load(bytes, stride + 8), 0xFF5A5A5Au);
  EXPECT_EQ(load(bytes, 12), 0x5A5A5A5Au);  // padding untouched
  EXPECT_EQ(load(bytes, stride + 12), 0x5A5A5A5Au);
}

// Premultiplied source-over, as the cursor must look.
std::uint32_t over(std::uint32_t s, std::uint32_t d) {
  std::uint32_t a = s >> 24, result = 0;
  for (int c = 0; c < 4; ++c) {
    std::uint32_t sc = (s >> (8 * c)) & 0xFF, dc = (d >> (8 * c)) & 0xFF;
    std::uint32_t v = sc + (dc * (255 - a) + 127) / 255;
    result |= std::min<std::uint32_t>(v, 255) << (8 * c);
  }
  return result;
}

TEST(PixelOps, DrawCursorBlendsPremultipliedAndClipsAtEveryEdge) {
  const int width = 4, height = 3;
  const std::uint32_t background = 0xFF204060;
  std::vector<std::uint8_t> picture(width * height * 4);
  for (int i = 0; i < width * height; ++i) store(picture, 4 * i, background);

  // 3x3 cursor: opaque black, transparent, half-transparent white
  // (premultiplied), repeated.
  // clang-format off
  const std::uint32_t cursor[9] = {0xFF000000, 0x00000000, 0x80808080,
                                   0xFF000000, 0x00000000, 0x80808080,
                                   0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  // clang-format on
  // Top-left at (-1, 1): the first column and the last row fall outside.
  drawCursor(picture.data(), width, height, width * 4, {cursor, 3, 3}, -1, 1);

  auto at = [&](int x, int y) { return load(picture, 4 * (y * width + x)); };
  EXPECT_EQ(at(0, 0), background);
  EXPECT_EQ(at(0, 1), background);                    // cursor (1,0): transparent
  EXPECT_EQ(at(1, 1), over(0x80808080, background));  // cursor (2,0)
  EXPECT_EQ(at(0, 2), background);                    // cursor (1,1)
  EXPECT_EQ(at(1, 2), over(0x80808080, background));  // cursor (2,1)
  EXPECT_EQ(at(2, 1), background);                    // right of the cursor
  EXPECT_EQ(at(3, 2), background);
}

TEST(PixelOps, OpaqueCursorPixelsReplaceThePicture) {
  std::vector<std::uint8_t> picture(2 * 2 * 4, 0x77);
  const std::uint32_t cursor[1] = {0xFF010203};
  drawCursor(picture.data(), 2, 2, 8, {cursor, 1, 1}, 1, 1);
  EXPECT_EQ(load(picture, 12), 0xFF010203u);
  EXPECT_EQ(load(picture, 0), 0x77777777u);
}

TEST(PixelOps, CursorEntirelyOutsideChangesNothing) {
  std::vector<std::uint8_t> picture(2 * 2 * 4, 0x33);
  const std::uint32_t cursor[1] = {0xFFFFFFFF};
  for (auto [x, y] : {std::pair{-1, 0}, {2, 0}, {0, -1}, {0, 2}})
    drawCursor(picture.data(), 2, 2, 8, {cursor, 1, 1}, x, y);
  for (std::uint8_t byte : picture) EXPECT_EQ(byte, 0x33);
}

}  // namespace
}  // namespace fenwright::x11
