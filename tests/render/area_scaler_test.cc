#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "scale/area_scaler.h"
#include "render/frame_compositor.h"
#include "render/test_pattern.h"
#include "tests/render/allocation_counter.h"
#include "tests/render/reference_fit.h"
#include "tests/render/surface_pixels.h"
#include "tests/render/test_image.h"

namespace fenwright {
namespace {

using testing::Bgra;
using testing::TestImage;
using Background = AreaScaler::Background;

// A target buffer with its own stride, pre-filled with junk that a fit must
// overwrite everywhere inside the target rectangle and nowhere outside it.
struct Target {
  Target(int width, int height, int bytesPerRow = 0)
      : width(width), height(height), bytesPerRow(bytesPerRow ? bytesPerRow : 4 * width),
        bytes(static_cast<std::size_t>(this->bytesPerRow) * height, 0x5a) {}
  Bgra at(int x, int y) const { return testing::pixelAt(bytes.data(), x, y, bytesPerRow); }
  void fit(AreaScaler& scaler, const ImageView& source, double scale, Background background) {
    scaler.fit(source, scale, bytes.data(), width, height, bytesPerRow, background);
  }
  int width, height, bytesPerRow;
  std::vector<std::uint8_t> bytes;
};

double fitScale(int w, int h, int targetWidth, int targetHeight) {
  return std::min(static_cast<double>(targetWidth) / w, static_cast<double>(targetHeight) / h);
}

TEST(AreaScalerBackground, TransparentBlackLeavesUncoveredPixelsClear) {
  // A 16:10 window into a 16:9 frame: bars left and right become 0,0,0,0.
  AreaScaler scaler;
  Target target(1280, 720);
  TestImage window = TestImage::uniform(1920, 1200, 0xff336699);
  const double s = fitScale(1920, 1200, 1280, 720);
  target.fit(scaler, window.view(), s, Background::transparentBlack);
  const double left = (1280 - s * 1920) * 0.5;  // 64 columns
  ASSERT_DOUBLE_EQ(left, 64.0);
  for (int y = 0; y < 720; ++y)
    for (int x = 0; x < 1280; ++x) {
      Bgra expected = x < 64 || x >= 1216 ? Bgra{} : testing::fromValue(0xff336699);
      ASSERT_EQ(target.at(x, y), expected) << x << "," << y;
    }
}

TEST(AreaScalerBackground, TransparentBlackKeepsPartialCoverageInAlpha) {
  // 1366 x 768 shrunk into 640 x 360 leaves edge rows covered 0.912: a
  // premultiplied white there is white scaled by 0.912, alpha included.
  AreaScaler scaler;
  Target target(640, 360);
  const double s = fitScale(1366, 768, 640, 360);
  target.fit(scaler, TestImage::uniform(1366, 768, 0xffffffff).view(), s,
             Background::transparentBlack);
  const double cover = 1 - (360 - s * 768) * 0.5;
  for (int x = 0; x < 640; ++x) {
    Bgra edge = target.at(x, 0);
    ASSERT_NEAR(edge.a, 255 * cover, 1.0);
    ASSERT_EQ(edge.r, edge.a);
    ASSERT_EQ(target.at(x, 180), (Bgra{255, 255, 255, 255}));
  }
}

TEST(AreaScalerGeometry, WritesOnlyInsideTheTargetRectangleOfAWiderBuffer) {
  AreaScaler scaler;
  Target target(1280, 720, 4 * 1280 + 36);
  target.fit(scaler, TestImage::textLike(2560, 1440, 5).view(), 0.5, Background::transparentBlack);
  for (int y = 0; y < 720; ++y)
    for (int i = 4 * 1280; i < target.bytesPerRow; ++i)
      ASSERT_EQ(target.bytes[static_cast<std::size_t>(y) * target.bytesPerRow + i], 0x5a);
}

TEST(AreaScalerGeometry, LargerThanFittingScaleCutsThePictureOff) {
  // Scale 1 of a 200 x 200 picture in 100 x 100: the middle quarter shows.
  TestImage image = TestImage::uniform(200, 200, 0xff0000ff);
  for (int y = 50; y < 150; ++y)
    for (int x = 50; x < 150; ++x) image.set(x, y, 0xff00ff00);
  AreaScaler scaler;
  Target target(100, 100);
  for (double scale : {1.0, 1.0000001, 0.9999999}) {
    target.fit(scaler, image.view(), scale, Background::opaqueBlack);
    for (int y = 1; y < 99; ++y)
      for (int x = 1; x < 99; ++x)
        ASSERT_EQ(target.at(x, y), (Bgra{0, 255, 0, 255})) << scale << " " << x << "," << y;
  }
}

TEST(AreaScalerGeometry, EmptySourceOrBadScaleDrawsOnlyBackground) {
  AreaScaler scaler;
  Target target(64, 36);
  TestImage image = TestImage::uniform(10, 10, 0xffffffff);
  for (double scale : {0.0, -1.0, std::nan(""), static_cast<double>(INFINITY)}) {
    target.fit(scaler, image.view(), scale, Background::opaqueBlack);
    for (int y = 0; y < 36; ++y)
      for (int x = 0; x < 64; ++x) ASSERT_EQ(target.at(x, y), testing::kOpaqueBlack);
  }
  target.fit(scaler, ImageView{}, 1.0, Background::transparentBlack);
  for (int y = 0; y < 36; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(target.at(x, y), Bgra{});
}

struct ShrinkCase {
  int width, height, targetWidth, targetHeight;
  std::uint32_t seed;
};

void PrintTo(const ShrinkCase& c, std::ostream* out) {
  *out << c.width << "x" << c.height << " into " << c.targetWidth << "x" << c.targetHeight
       << " seed=" << c.seed;
}

class AreaScalerQuality : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(AreaScalerQuality, MatchesTheDoublePrecisionReference) {
  const ShrinkCase& c = GetParam();
  SCOPED_TRACE("seed=" + std::to_string(c.seed));
  TestImage image = TestImage::textLike(c.width, c.height, c.seed, 4 * c.width + 7);
  AreaScaler scaler;
  Target target(c.targetWidth, c.targetHeight);
  const double s = fitScale(c.width, c.height, c.targetWidth, c.targetHeight);
  target.fit(scaler, image.view(), s, Background::opaqueBlack);
  std::vector<double> reference = testing::referenceFit(image.view(), s, c.targetWidth, c.targetHeight);
  double psnr = testing::colourPsnr(reference, target.bytes.data(), c.targetWidth, c.targetHeight,
                                    target.bytesPerRow);
  RecordProperty("psnr_db", std::to_string(psnr));
  EXPECT_GE(psnr, 40.0);
}

INSTANTIATE_TEST_SUITE_P(
    Fits, AreaScalerQuality,
    ::testing::Values(ShrinkCase{2560, 1440, 1280, 720, 31},  // 2:1
                      ShrinkCase{1920, 1200, 1280, 720, 32},  // 0.6, bars
                      ShrinkCase{3000, 900, 1280, 720, 33},   // fractional, bars
                      ShrinkCase{1281, 721, 1280, 720, 34},   // just above the frame
                      ShrinkCase{7, 5, 640, 360, 35},         // enlarging a tiny picture
                      ShrinkCase{2100, 200, 640, 360, 39},    // 3.3:1, five taps a pixel
                      ShrinkCase{3000, 200, 640, 360, 40},    // 4.7:1, six
                      ShrinkCase{3300, 200, 640, 360, 41},    // 5.2:1, seven
                      ShrinkCase{4300, 200, 640, 360, 42},    // 6.7:1, eight
                      ShrinkCase{5000, 37, 640, 360, 36},     // 7.8:1 wide strip
                      ShrinkCase{8192, 400, 640, 360, 37},    // 12.8:1
                      ShrinkCase{400, 8192, 640, 360, 38}),   // 22.76:1, a thin column
    [](const ::testing::TestParamInfo<ShrinkCase>& info) {
      return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) + "_to_" +
             std::to_string(info.param.targetWidth) + "x" + std::to_string(info.param.targetHeight);
    });

TEST(AreaScalerSteadyState, SameSizedFramesAllocateNothing) {
  AreaScaler scaler;
  Target target(640, 360);
  for (auto [w, h] : {std::pair{1280, 720}, {1920, 1080}, {1366, 768}, {320, 180}, {640, 360}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    TestImage image = TestImage::textLike(w, h, 41);
    const double s = fitScale(w, h, 640, 360);
    target.fit(scaler, image.view(), s, Background::opaqueBlack);
    testing::AllocationCounter counter;
    target.fit(scaler, image.view(), s, Background::opaqueBlack);
    target.fit(scaler, image.view(), s, Background::transparentBlack);
    EXPECT_EQ(counter.count(), 0u);
  }
}

TEST(AreaScalerSteadyState, CompositorAndTestPatternAllocateNothingPerFrame) {
  FrameCompositor compositor(640, 360);
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

TEST(AreaScalerSteadyState, CounterSeesAllocations) {
  testing::AllocationCounter counter;
  std::vector<int> grown(100);
  EXPECT_GE(counter.count(), 1u);
}

}  // namespace
}  // namespace fenwright
