#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/captured_log.h"
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

void expectNear(Bgra pixel, Colour colour, double tolerance) {
  EXPECT_NEAR(pixel.r, colour.r, tolerance);
  EXPECT_NEAR(pixel.g, colour.g, tolerance);
  EXPECT_NEAR(pixel.b, colour.b, tolerance);
  EXPECT_EQ(pixel.a, 255);
}

double distance(Bgra pixel, Colour colour) {
  return std::hypot(pixel.r - colour.r, pixel.g - colour.g, pixel.b - colour.b);
}

Colour scaled(Colour c) { return {255 * c.r, 255 * c.g, 255 * c.b}; }

class TestPatternRender : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buffer_.allocate());
    client_.emplace(*buffer_.surface());
    ASSERT_TRUE(client_->mapped());
  }
  Bgra at(int x, int y) const { return testing::pixelAt(client_->pixels(), x, y); }
  std::vector<std::uint8_t> bytes() const {
    return std::vector<std::uint8_t>(client_->pixels(), client_->pixels() + client_->size());
  }

  PiPFrameBuffer buffer_;
  std::optional<testing::SurfaceClient> client_;
};

TEST_F(TestPatternRender, CentreIsTheInnerColourAndCornersApproachTheOuter) {
  for (double phase : {0.05, kPi / 2, kPi - 0.01, kPi}) {
    SCOPED_TRACE("phase=" + std::to_string(phase));
    buffer_.renderTestPattern(phase);
    Colour inner = scaled(innerColour(phase)), outer = scaled(outerColour(phase));
    // The four pixels around the centre sit 0.7 pixel from it.
    for (auto [x, y] : {std::pair{319, 179}, {320, 179}, {319, 180}, {320, 180}})
      expectNear(at(x, y), inner, 1.0);
    for (auto [x, y] : {std::pair{0, 0}, {639, 0}, {0, 359}, {639, 359}}) {
      // About 367 of 384 pixels out: 95 % of the way to the outer colour.
      expectNear(at(x, y), expectedAt(phase, x, y), 1.0);
      EXPECT_LT(distance(at(x, y), outer), distance(at(x, y), inner));
      EXPECT_LT(distance(at(x, y), outer), 0.05 * 255 * std::sqrt(3.0) + 1);
    }
  }
}

TEST_F(TestPatternRender, FirstFrameAfterStartHasTheDocumentedColours) {
  buffer_.renderTestPattern(0.05);
  // a = 0.05 / pi = 0.0159: inner (0.016, 0.3, 0.984), outer (0.484, 0.6, 0.516).
  expectNear(at(320, 180), {0.016 * 255, 0.3 * 255, 0.984 * 255}, 1.0);
  expectNear(at(0, 0), expectedAt(0.05, 0, 0), 1.0);
  EXPECT_NEAR(outerColour(0.05).r, 0.484, 0.001);
}

TEST_F(TestPatternRender, EveryPixelFollowsTheGradient) {
  for (double phase : {0.05, 1.0, 2.5}) {
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

TEST_F(TestPatternRender, PhasePiWrapsToTheColoursOfPhaseZero) {
  buffer_.renderTestPattern(0);
  std::vector<std::uint8_t> atZero = bytes();
  buffer_.renderTestPattern(kPi);
  EXPECT_TRUE(bytes() == atZero);
  // Just below pi the centre is nearly pure red; past it, blue again.
  buffer_.renderTestPattern(kPi - 0.01);
  EXPECT_GE(at(320, 180).r, 250);
  EXPECT_LE(at(320, 180).b, 5);
  buffer_.renderTestPattern(kPi + 0.04);
  EXPECT_LE(at(320, 180).r, 5);
  EXPECT_GE(at(320, 180).b, 250);
}

TEST_F(TestPatternRender, SuccessivePhasesChangeThePicture) {
  std::vector<std::uint8_t> previous;
  for (int tick = 1; tick <= 5; ++tick) {
    buffer_.renderTestPattern(0.05 * tick);
    std::vector<std::uint8_t> now = bytes();
    if (!previous.empty()) {
      EXPECT_FALSE(now == previous) << "tick " << tick;
    }
    previous = std::move(now);
  }
}

TEST(TestPatternBeforeAllocate, RenderDoesNothing) {
  PiPFrameBuffer buffer;
  log::CapturedLog log;
  buffer.renderTestPattern(0.05);
  EXPECT_EQ(buffer.surface(), nullptr);
  EXPECT_TRUE(log.lines().empty());
  ASSERT_TRUE(buffer.allocate());
  testing::SurfaceClient client(*buffer.surface());
  ASSERT_TRUE(client.mapped());
  for (std::size_t i = 0; i < client.size(); ++i) ASSERT_EQ(client.pixels()[i], 0) << "byte " << i;
}

}  // namespace
}  // namespace fenwright
