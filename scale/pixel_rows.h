#pragma once

#include <cstdint>

namespace fenwright {

// Row helpers for BGRA pixels given as little-endian 32-bit values
// (0xff000000 is opaque black). Pointers may have any alignment.

// Writes `count` copies of `pixel`.
void fillPixels(std::uint8_t* out, int count, std::uint32_t pixel);

// Copies `count` pixels, ORing `alpha` into each (0 copies them as they are).
void copyPixels(const std::uint8_t* in, std::uint8_t* out, int count, std::uint32_t alpha);

// Fills every pixel of a width x height target outside the rectangle
// [left, right) x [top, bottom), which lies inside it or is empty.
void fillOutside(std::uint8_t* target, int width, int height, long bytesPerRow, int left,
                 int top, int right, int bottom, std::uint32_t pixel);

}  // namespace fenwright
