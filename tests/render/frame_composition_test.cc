#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "render/pip_frame_buffer.h"
#include "tests/render/surface_client.h"
#include "tests/scale/reference_fit.h"
#include "tests/scale/test_image.h"

namespace fenwright {
namespace {

using testing::TestImage;

constexpr int kWidth = PiPFrameBuffer::targetWidth;
constexpr int kHeight = PiPFrameBuffer::targetHeight;

// What a client reads off the surface after the buffer draws.
class SurfaceRender : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buffer_.allocate());
    client_.emplace(testing::mapAsClient(*buffer_.surface()));
  }

  PiPFrameBuffer buffer_;
  std::optional<client::MappedSurface> client_;
};

// Uniform pictures, shrunk or enlarged, with bars at the sides or above
// and below, edge rows partly covered, translucent or transparent: what
// the yardstick fit gives over opaque black, exactly where it is whole.
TEST_F(SurfaceRender, UniformPicturesShowTheirColourByCoverageOverBlack) {
  for (auto [width, height, colour] :
       {std::tuple{1280, 720, 0xff6496c8u}, {1920, 1080, 0xff6496c8u}, {3840, 2160, 0xff6496c8u},
        {320, 180, 0xff6496c8u}, {640, 360, 0xff6496c8u}, {1000, 1000, 0xff6496c8u},
        {1280, 400, 0xff6496c8u}, {1, 1, 0xc8785028u}, {1366, 768, 0u}, {1366, 768, 0xffffffffu},
        {8192, 1, 0xffffffffu}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const TestImage picture = TestImage::uniform(width, height, colour);
    const double s = std::min(double(kWidth) / width, double(kHeight) / height);
    // Also handed on whole as the 1280x720 frame it stands for: the same.
    const double f = std::min(1280.0 / width, 720.0 / height);
    for (auto geometry : {std::optional<FrameGeometry>(),
                          std::optional(FrameGeometry{1280, 720, (1280 - f * width) / 2,
                                                      (720 - f * height) / 2, f * width,
                                                      f * height})}) {
      buffer_.writeFrame(picture.view(), geometry);
      EXPECT_EQ(testing::compare(testing::referenceFit(picture.view(), s, kWidth, kHeight),
                                 {kWidth, kHeight, 4 * kWidth, client_->pixels().data()},
                                 AreaScaler::Background::opaqueBlack).pixelsOff,
                0);
    }
  }
}

// The gradient worked out independently: phase 0.05 is the first frame
// after start; at pi the colours wrap to those of phase 0.
TEST_F(SurfaceRender, TestPatternFollowsTheGradientEverywhere) {
  constexpr double kPi = std::numbers::pi;
  for (double phase : {0.05, 1.0, kPi / 2, 2.5, kPi - 0.01, kPi, kPi + 0.04}) {
    SCOPED_TRACE("phase=" + std::to_string(phase));
    buffer_.renderTestPattern(phase);
    const double a = phase / kPi - std::trunc(phase / kPi);
    const double b = a + 0.5 - std::trunc(a + 0.5);
    const double inner[3] = {1 - a, 0.3, a}, outer[3] = {b, 0.6, 1 - b};  // B, G, R
    int off = 0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const double t = std::min(std::hypot(x + 0.5 - 320, y + 0.5 - 180) / 384, 1.0);
        const std::uint8_t* p = client_->pixels().data() + 4 * (y * kWidth + x);
        for (int k = 0; k < 3; ++k)
          off += std::abs(p[k] - 255 * (inner[k] + t * (outer[k] - inner[k]))) > 1;
        off += p[3] != 255;
      }
    EXPECT_EQ(off, 0);
  }
}

}  // namespace
}  // namespace fenwright
