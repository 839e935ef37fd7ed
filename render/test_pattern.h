#pragma once

#include <cstdint>

namespace fenwright {

// Draws the animated radial-gradient test pattern for `phase` into BGRA
// pixels of the given size.
void drawTestPattern(double phase, std::uint8_t* pixels, int width, int height, int bytesPerRow);

}  // namespace fenwright
