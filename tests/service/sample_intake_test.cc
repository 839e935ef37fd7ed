#include <gtest/gtest.h>

#include <vector>

#include "service_harness.h"

namespace fenwright {
namespace {

// A solid 1280x720 frame: it fills the surface exactly, so every surface
// pixel shows its colour once written.
struct SolidFrame {
  explicit SolidFrame(std::uint8_t b, std::uint8_t g, std::uint8_t r) : pixels(1280 * 720 * 4) {
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = b;
      pixels[i + 1] = g;
      pixels[i + 2] = r;
      pixels[i + 3] = 255;
    }
  }
  ImageView view() const { return ImageView{1280, 720, 1280 * 4, pixels.data()}; }
  std::vector<std::uint8_t> pixels;
};

class SampleIntake : public ::testing::Test {
 protected:
  void SetUp() override {
    h.capture->setContent(sampleContent());
    h.adopt(windowConfig(42));
    Access::startStream(h.service);
    ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
    stream = h.capture->lastStream();
    ASSERT_TRUE(stream->deliver(SampleBuffer::frame(blue.view(), FrameStatus::complete)));
    ASSERT_EQ(centre(), (Pixel{255, 0, 0, 255}));
  }

  using Pixel = std::array<std::uint8_t, 4>;
  Pixel centre() const {
    const std::uint8_t* p =
        Access::frameBuffer(*h.service).surface()->baseAddress() + 180 * 2560 + 320 * 4;
    return {p[0], p[1], p[2], p[3]};
  }
  bool surfaceShowsRed() const { return centre() == Pixel{0, 0, 255, 255}; }

  ServiceHarness h;
  std::shared_ptr<FakeCaptureStream> stream;
  SolidFrame blue{255, 0, 0};
  SolidFrame red{0, 0, 255};
};

TEST_F(SampleIntake, OnlyValidScreenFramesWithAnImageAndNoIncompleteStatusAreWritten) {
  std::vector<std::pair<SampleBuffer, StreamOutputType>> dropped;
  for (auto status : {FrameStatus::idle, FrameStatus::blank, FrameStatus::suspended,
                      FrameStatus::started, FrameStatus::stopped, FrameStatus{7}})
    dropped.emplace_back(SampleBuffer::frame(red.view(), status), StreamOutputType::screen);
  auto complete = SampleBuffer::frame(red.view(), FrameStatus::complete);
  dropped.emplace_back(complete, StreamOutputType::audio);
  dropped.emplace_back(complete, StreamOutputType::screen);
  dropped.back().first.isValid = false;
  dropped.emplace_back(SampleBuffer{true, std::nullopt, FrameStatus::complete},
                       StreamOutputType::screen);
  for (std::size_t i = 0; i < dropped.size(); ++i) {
    stream->deliver(dropped[i].first, dropped[i].second);
    EXPECT_FALSE(surfaceShowsRed()) << i;
  }
  stream->deliver(complete);
  EXPECT_TRUE(surfaceShowsRed());
  stream->deliver(SampleBuffer::frame(blue.view(), FrameStatus::complete));
  stream->deliver(SampleBuffer{true, red.view(), std::nullopt});  // no status passes
  EXPECT_TRUE(surfaceShowsRed());
}

TEST_F(SampleIntake, FramesWhilePausedAreNotWrittenAndFlowAgainAfter) {
  Access::setPaused(*h.service, true);
  stream->deliver(SampleBuffer::frame(red.view(), FrameStatus::complete));
  EXPECT_FALSE(surfaceShowsRed());
  Access::setPaused(*h.service, false);
  stream->deliver(SampleBuffer::frame(red.view(), FrameStatus::complete));
  EXPECT_TRUE(surfaceShowsRed());
}

TEST_F(SampleIntake, StreamStoppingByItselfOnlyLogs) {
  stream->stopByItself(CaptureError{"window 42 was destroyed"});
  EXPECT_TRUE(h.log.containsError("SCStream stopped with error: window 42 was destroyed"));
  EXPECT_EQ(Access::stream(*h.service), stream);
  EXPECT_EQ(Access::testPatternTimer(*h.service), nullptr);
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(centre(), (Pixel{255, 0, 0, 255}));
}

}  // namespace
}  // namespace fenwright
