#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>

#include "render/pip_frame_buffer.h"
#include "tests/render/surface_client.h"
#include "tests/render/surface_pixels.h"

namespace fenwright {
namespace {

using testing::Bgra;

constexpr double kPi = std::numbers::pi;

struct Colour {
  double r, g, b;
};

// The colours for a phase, worked out independently of the renderer.
Colour innerColour(double phase) {
  double t = phase / kPi;
  double a = t - std::trunc(t);
  return {a, 0.3, 1 - a};
}
Colour outerColour(double phase) {
  double t = phase / kPi;
  double a = t - std::trunc(t);
  double b = (a + 0.5) - std::trunc(a + 0.5);
  return {1 - b, 0.6, b};
}

// The exact gradient colour at the centre of pixel (x, y), in 0..255.
Colour expectedAt(double phase, int x, int y) {
  Colour inner = innerColour(phase), outer = outerColour(phase);
  double t = std::min(std::hypot(x + 0.5 - 320, y + 0.5 - 180) / 384, 1.0);
  return {255 * (inner.r + t * (outer.r - inner.r)), 255 * (inner.g + t * (outer.g - inner.g)),
          255 * (inner.b + t * (outer.b - inner.b))};
}

class TestPatternRender : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buffer_.allocate());
    client_.emplace(*buffer_.surface());
    ASSERT_TRUE(client_->mapped());
  }
  Bgra at(int x, int y) const { return testing::pixelAt(client_->pixels(), x, y); }

  PiPFrameBuffer buffer_;
  std::optional<testing::SurfaceClient> client_;
};

// Phase 0.05 is the first frame after start; at pi the colours wrap to
// those of phase 0 (from nearly pure red at the centre to blue again).
TEST_F(TestPatternRender, EveryPixelFollowsTheGradient) {
  for (double phase : {0.05, 1.0, kPi / 2, 2.5, kPi - 0.01, kPi, kPi + 0.04}) {
    SCOPED_TRACE("phase=" + std::to_string(phase));
    buffer_.renderTestPattern(phase);
    int off = 0;
    for (int y = 0; y < 360; ++y)
      for (int x = 0; x < 640; ++x) {
        Colour e = expectedAt(phase, x, y);
        Bgra p = at(x, y);
        off += std::abs(p.r - e.r) > 1 || std::abs(p.g - e.g) > 1 || std::abs(p.b - e.b) > 1 ||
               p.a != 255;
      }
    EXPECT_EQ(off, 0);
  }
}

}  // namespace
}  // namespace fenwright
