#pragma once

#include <cstdint>

namespace fenwright::x11 {

// Sets the alpha byte of every BGRA pixel to 255. X leaves that byte
// undefined in pictures of windows without an alpha channel (depth 24).
void forceOpaqueAlpha(std::uint8_t* bgra, int width, int height, int bytesPerRow);

// A cursor picture as XFixes hands it out: 32-bit ARGB words, premultiplied.
struct CursorImage {
  const std::uint32_t* argb = nullptr;
  int width = 0;
  int height = 0;
};

// Draws `cursor` over the BGRA picture with its top-left corner at
// (left, top), premultiplied source-over, clipped to the picture.
void drawCursor(std::uint8_t* bgra, int width, int height, int bytesPerRow,
                const CursorImage& cursor, int left, int top);

}  // namespace fenwright::x11
