#include "platform/x11/pixel_ops.h"

#include <algorithm>
#include <cstring>

namespace fenwright::x11 {

void forceOpaqueAlpha(std::uint8_t* bgra, int width, int height, int bytesPerRow) {
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bgra + static_cast<long>(y) * bytesPerRow;
    // Byte-wise through 32-bit words, so the compiler vectorises it.
    for (int x = 0; x < width; ++x) {
      std::uint32_t pixel;
      std::memcpy(&pixel, row + 4 * x, 4);
      pixel |= 0xFF000000u;
      std::memcpy(row + 4 * x, &pixel, 4);
    }
  }
}

void drawCursor(std::uint8_t* bgra, int width, int height, int bytesPerRow,
                const CursorImage& cursor, int left, int top) {
  int x0 = std::max(left, 0);
  int y0 = std::max(top, 0);
  int x1 = std::min(left + cursor.width, width);
  int y1 = std::min(top + cursor.height, height);
  for (int y = y0; y < y1; ++y) {
    const std::uint32_t* source = cursor.argb + static_cast<long>(y - top) * cursor.width;
    std::uint8_t* row = bgra + static_cast<long>(y) * bytesPerRow;
    for (int x = x0; x < x1; ++x) {
      std::uint32_t s = source[x - left];
      std::uint32_t alpha = s >> 24;
      if (alpha == 0) continue;
      std::uint8_t* d = row + 4 * x;
      std::uint32_t keep = 255 - alpha;
      // Little-endian ARGB words are B, G, R, A bytes: the same order.
      for (int channel = 0; channel < 4; ++channel) {
        std::uint32_t sc = (s >> (8 * channel)) & 0xFF;
        std::uint32_t blended = sc + (d[channel] * keep + 127) / 255;
        d[channel] = static_cast<std::uint8_t>(std::min<std::uint32_t>(blended, 255));
      }
    }
  }
}

}  // namespace fenwright::x11
