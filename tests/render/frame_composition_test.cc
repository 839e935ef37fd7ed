#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "render/frame_compositor.h"
#include "render/pip_frame_buffer.h"
#include "render/test_pattern.h"
#include "tests/render/surface_client.h"
#include "tests/render/surface_pixels.h"
#include "tests/scale/allocation_counter.h"
#include "tests/scale/test_image.h"

namespace fenwright {
namespace {

using testing::Bgra;
using testing::fromValue;
using testing::kOpaqueBlack;
using testing::TestImage;

constexpr int kWidth = PiPFrameBuffer::targetWidth;
constexpr int kHeight = PiPFrameBuffer::targetHeight;
constexpr std::uint32_t kColour = 0xff6496c8;  // blue 200, green 150, red 100, opaque

// Black bars as measured on the surface: whole columns or rows of opaque black.
struct Bars {
  int left = 0, right = 0, top = 0, bottom = 0;
};

class FrameComposition : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buffer_.allocate());
    client_.emplace(*buffer_.surface());
    ASSERT_TRUE(client_->mapped());
  }

  Bgra at(int x, int y) const { return testing::pixelAt(client_->pixels(), x, y); }

  bool columnBlack(int x) const {
    for (int y = 0; y < kHeight; ++y)
      if (at(x, y) != kOpaqueBlack) return false;
    return true;
  }
  bool rowBlack(int y) const {
    for (int x = 0; x < kWidth; ++x)
      if (at(x, y) != kOpaqueBlack) return false;
    return true;
  }
  Bars bars() const {
    Bars bars;
    while (bars.left < kWidth && columnBlack(bars.left)) ++bars.left;
    while (bars.right < kWidth && columnBlack(kWidth - 1 - bars.right)) ++bars.right;
    while (bars.top < kHeight && rowBlack(bars.top)) ++bars.top;
    while (bars.bottom < kHeight && rowBlack(kHeight - 1 - bars.bottom)) ++bars.bottom;
    return bars;
  }
  // Pixels of the rectangle that differ from `expected`.
  int countDifferent(int x0, int y0, int x1, int y1, Bgra expected) const {
    int different = 0;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) different += at(x, y) != expected;
    return different;
  }

  PiPFrameBuffer buffer_;
  std::optional<testing::SurfaceClient> client_;
};

// Inputs whose fit lands on whole pixels, shrunk or enlarged: bars of
// opaque black where the picture is not, the input's colour everywhere it
// is. A translucent premultiplied pixel over black keeps its colour values;
// a transparent picture ends all bar.
TEST_F(FrameComposition, WholePixelFitsShowExactBarsAndColour) {
  struct Case {
    int width, height;
    std::uint32_t colour;
    Bars bars;
  };
  for (const Case& c : {Case{1280, 720, kColour, {}}, Case{1920, 1080, kColour, {}},
                        Case{3840, 2160, kColour, {}}, Case{320, 180, kColour, {}},
                        Case{640, 360, kColour, {}}, Case{1000, 1000, kColour, {140, 140, 0, 0}},
                        Case{1280, 400, kColour, {0, 0, 80, 80}},
                        Case{1, 1, 0xc8785028, {140, 140, 0, 0}},
                        Case{1366, 768, 0, {kWidth, kWidth, kHeight, kHeight}}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    buffer_.writeFrame(TestImage::uniform(c.width, c.height, c.colour).view());
    Bars measured = bars();
    EXPECT_EQ(measured.left, c.bars.left);
    EXPECT_EQ(measured.right, c.bars.right);
    EXPECT_EQ(measured.top, c.bars.top);
    EXPECT_EQ(measured.bottom, c.bars.bottom);
    const Bgra colour = c.colour == kColour ? fromValue(kColour) : Bgra{0x28, 0x50, 0x78, 255};
    EXPECT_EQ(countDifferent(c.bars.left, c.bars.top, kWidth - c.bars.right,
                             kHeight - c.bars.bottom, colour), 0);
  }
}

// White pictures whose top and bottom rows cover their target rows only
// partly (by the same amount): those rows are grey by that coverage, opaque.
TEST_F(FrameComposition, PartlyCoveredEdgeRowsBlendWithBlackByTheirCoverage) {
  struct Case {
    int width, height, firstRow, lastRow;
  };
  // 1366 x 768: 640 x 359.824 at y 0.0878. 8192 x 1: a 0.078 high line at
  // y 179.96, over rows 179 and 180.
  for (const Case& c : {Case{1366, 768, 0, kHeight - 1}, Case{8192, 1, 179, 180}}) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    buffer_.writeFrame(TestImage::uniform(c.width, c.height, 0xffffffff).view());
    const double top = (kHeight - 640.0 / c.width * c.height) * 0.5;
    const double edge = 255 * (c.firstRow + 1 - top);
    EXPECT_EQ(countDifferent(0, c.firstRow + 1, kWidth, c.lastRow, Bgra{255, 255, 255, 255}), 0);
    EXPECT_EQ(countDifferent(0, 0, kWidth, c.firstRow, kOpaqueBlack) +
                  countDifferent(0, c.lastRow + 1, kWidth, kHeight, kOpaqueBlack),
              0);
    for (int y : {c.firstRow, c.lastRow})
      for (int x = 0; x < kWidth; ++x) {
        const Bgra p = at(x, y);
        ASSERT_NEAR(p.r, edge, 1.0) << "x=" << x << " y=" << y;
        ASSERT_TRUE(p.g == p.r && p.b == p.r && p.a == 255) << "x=" << x << " y=" << y;
      }
  }
}

TEST(FrameCompositionSteadyState, FramesAndTestPatternsAllocateNothing) {
  FrameCompositor compositor(kWidth, kHeight);
  TestPattern pattern;
  std::vector<std::uint8_t> surface(921600);
  TestImage frame = TestImage::textLike(1366, 768, 42);
  compositor.compose(frame.view(), surface.data(), 2560);
  testing::AllocationCounter counter;
  for (int i = 0; i < 3; ++i) {
    compositor.compose(frame.view(), surface.data(), 2560);
    pattern.draw(0.05 * i, surface.data(), 2560);
  }
  EXPECT_EQ(counter.count(), 0u);
}

}  // namespace
}  // namespace fenwright
