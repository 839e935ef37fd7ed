#include "render/test_pattern.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace fenwright {
namespace {

constexpr double kCentreX = 320;
constexpr double kCentreY = 180;
constexpr double kRadius = 384;

// lround() without its library call: from a half up, adding a half and
// truncating rounds alike, and below a half both give 0.
std::uint32_t channel(double value) {
  const double level = std::clamp(value, 0.0, 1.0) * 255;
  return level < 0.5 ? 0 : static_cast<std::uint32_t>(level + 0.5);
}

double fraction(double value) { return value - std::trunc(value); }

}  // namespace

TestPattern::TestPattern() : quarter_(static_cast<std::size_t>(kHalfWidth) * kHalfHeight) {
  static_assert(kCentreX == kHalfWidth && kCentreY == kHalfHeight,
                "the quarter table mirrors about the frame's centre");
  for (int y = 0; y < kHalfHeight; ++y) {
    for (int x = 0; x < kHalfWidth; ++x) {
      double distance = std::hypot(x + 0.5, y + 0.5);
      double position = std::min(distance / kRadius, 1.0);
      quarter_[static_cast<std::size_t>(y) * kHalfWidth + x] =
          static_cast<std::uint16_t>(std::lround(position * kSteps));
    }
  }
}

void TestPattern::draw(double phase, std::uint8_t* pixels, long bytesPerRow) {
  const double a = fraction(phase / std::numbers::pi);
  const double b = fraction(a + 0.5);
  const double inner[3] = {a, 0.3, 1 - a};  // red, green, blue
  const double outer[3] = {1 - b, 0.6, b};
  for (int step = 0; step <= kSteps; ++step) {
    double t = static_cast<double>(step) / kSteps;
    std::uint32_t red = channel(inner[0] + t * (outer[0] - inner[0]));
    std::uint32_t green = channel(inner[1] + t * (outer[1] - inner[1]));
    std::uint32_t blue = channel(inner[2] + t * (outer[2] - inner[2]));
    ramp_[static_cast<std::size_t>(step)] = blue | green << 8 | red << 16 | 0xff000000u;
  }
  // A row is the same as its mirror about the centre, and its left half is
  // its right half reversed: each row pair is looked up once, a quarter of
  // the pixels, then copied in whole registers. Looking every pixel up
  // bound the frame by its single stores.
  std::uint32_t row[width];
  std::uint32_t* const right = row + kHalfWidth;
  for (int fromCentre = 0; fromCentre < kHalfHeight; ++fromCentre) {
    const std::uint16_t* positions = quarter_.data() + static_cast<std::size_t>(fromCentre) * kHalfWidth;
    for (int x = 0; x < kHalfWidth; ++x) right[x] = ramp_[positions[x]];
    for (int x = 0; x < kHalfWidth; ++x) row[kHalfWidth - 1 - x] = right[x];
    std::memcpy(pixels + (kHalfHeight + fromCentre) * bytesPerRow, row, sizeof row);
    std::memcpy(pixels + (kHalfHeight - 1 - fromCentre) * bytesPerRow, row, sizeof row);
  }
}

}  // namespace fenwright
