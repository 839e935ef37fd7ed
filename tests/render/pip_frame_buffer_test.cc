// What a client reads off the frame buffer's surface: its shape and seed,
// copies never torn, pictures fitted and the test pattern.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/log/captured_log.h"
#include "render/pip_frame_buffer.h"
#include "support/surface_probe.h"
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

  log::CapturedLog log_;  // from before the allocation
  PiPFrameBuffer buffer_;
  std::optional<client::MappedSurface> client_;
};

// What a client maps (640x360 BGRA: the real helper's, tests/process) is
// zeroed, with one line logged. Every render, frame or pattern, advances
// the seed by two; a client copying meanwhile never takes a torn frame.
TEST_F(SurfaceRender, OneZeroedBgraSurfaceWhoseSeedMovesByTwoAndNoCopyIsTorn) {
  client::MappedSurface& client = *client_;
  ASSERT_EQ(client.allocationSize(), 921600u);
  EXPECT_TRUE(std::all_of(client.pixels().begin(), client.pixels().end(),
                          [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(log_.texts(), std::vector<std::string>{"IOSurface allocated id=" +
                                                  std::to_string(buffer_.surfaceID()) + " 640×360"});
  EXPECT_TRUE(log_.lines().at(0).category == "buffer" && !log_.lines()[0].isError);

  TestImage frame = TestImage::textLike(1366, 768, 3);
  std::uint32_t seed = client.seed();
  ASSERT_EQ(seed % 2, 0u);
  for (int i = 0; i < 6; ++i) {
    i % 2 ? buffer_.renderTestPattern(0.05 * i) : buffer_.writeFrame(frame.view());
    EXPECT_EQ(client.seed(), seed += 2) << "render " << i;
  }

  // Frames alternate between two flat colours; any copy mixing them is torn.
  const TestImage frames[2] = {TestImage::uniform(1280, 720, 0xff204080),
                               TestImage::uniform(1280, 720, 0xff806040)};
  buffer_.writeFrame(frames[0].view());
  std::atomic<bool> done{false};
  int copies = 0, torn = 0;
  std::thread reader([&] {
    std::vector<std::uint8_t> copy(921600);
    while (!done.load(std::memory_order_acquire)) {
      if (!client.copyFrame(copy)) continue;
      ++copies;
      for (std::size_t i = 4; i < copy.size(); i += 4) {
        if (std::memcmp(copy.data(), copy.data() + i, 4) != 0) {
          ++torn;
          break;
        }
      }
    }
  });
  for (int i = 1; i <= 20; ++i) buffer_.writeFrame(frames[i % 2].view());
  done.store(true, std::memory_order_release);
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << copies;
  std::vector<std::uint8_t> last(921600);
  ASSERT_TRUE(client.copyFrame(last));
  EXPECT_EQ(last[0], 0x80);  // the last frame written: blue 0x80
}

// Uniform pictures, shrunk or enlarged, with bars at the sides or above
// and below, edge rows partly covered, translucent or transparent: what
// the yardstick fit gives over opaque black, exactly where it is whole,
// after the test pattern and again in the same place.
TEST_F(SurfaceRender, UniformPicturesShowTheirColourByCoverageOverBlack) {
  for (auto [width, height, colour] :
       {std::tuple{1280, 720, 0xff6496c8u}, {1920, 1080, 0xff6496c8u}, {3840, 2160, 0xff6496c8u},
        {320, 180, 0xff6496c8u}, {640, 360, 0xff6496c8u}, {1000, 1000, 0xff6496c8u},
        {1000, 1000, ~0u}, {1280, 400, 0xff6496c8u}, {1, 1, 0xc8785028u}, {1366, 768, 0u},
        {1366, 768, 0xffffffffu}, {8192, 1, 0xffffffffu}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const TestImage picture = TestImage::uniform(width, height, colour);
    buffer_.renderTestPattern(0.3);  // over the bars, which must come back
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

// Rows that come band by band (as the X11 backend hands them on) are drawn
// as they come and no sooner: the bytes of the whole picture's render,
// although the memory holds other pictures' rows until theirs come.
TEST_F(SurfaceRender, RowsStillArrivingAreDrawnAsTheyComeAndNoSooner) {
  struct Bands final : ArrivingRows {
    const TestImage* from = nullptr;
    TestImage* into = nullptr;
    int done = 0;
    int awaitMoreRows() override {
      const int end = std::min(from->height, done + from->height / 4 + 1);
      std::memcpy(into->bytes.data() + std::size_t(done) * from->bytesPerRow,
                  from->bytes.data() + std::size_t(done) * from->bytesPerRow,
                  std::size_t(end - done) * from->bytesPerRow);
      return done = end;
    }
  };
  for (auto [width, height] : {std::pair{1920, 1080}, {1366, 768}, {1279, 721}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const TestImage picture = TestImage::textLike(width, height, 11);
    buffer_.writeFrame(picture.view());
    const std::vector<std::uint8_t> whole(client_->pixels().begin(), client_->pixels().end());
    TestImage memory = TestImage::textLike(width, height, 12);
    Bands bands;
    bands.from = &picture;
    bands.into = &memory;
    buffer_.writeFrame(memory.view(), std::nullopt, &bands);
    EXPECT_EQ(bands.done, height);
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), client_->pixels().begin()));
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
