#pragma once

#include <cstdint>
#include <cstring>

namespace fenwright::testing {

// One BGRA pixel of a 640 x 360 picture as a client reads it.
struct Bgra {
  std::uint8_t b = 0, g = 0, r = 0, a = 0;
  bool operator==(const Bgra&) const = default;
};

inline Bgra pixelAt(const std::uint8_t* pixels, int x, int y, int bytesPerRow = 2560) {
  const std::uint8_t* p = pixels + static_cast<long>(y) * bytesPerRow + 4 * x;
  return Bgra{p[0], p[1], p[2], p[3]};
}

inline Bgra fromValue(std::uint32_t bgra) {
  return Bgra{static_cast<std::uint8_t>(bgra), static_cast<std::uint8_t>(bgra >> 8),
              static_cast<std::uint8_t>(bgra >> 16), static_cast<std::uint8_t>(bgra >> 24)};
}

constexpr Bgra kOpaqueBlack{0, 0, 0, 255};

}  // namespace fenwright::testing
