#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

class StreamStart : public ::testing::Test {
 protected:
  void SetUp() override {
    h.capture->setContent(sampleContent());
    h.capture->setMainDisplayID(2);
  }
  void startWith(const PiPSentinelConfig& config) {
    h.adopt(config);
    Access::startStream(h.service);
  }
  bool fellBack() {
    return h.log.waitFor("test-pattern render timer started @ 30Hz (no window picked)", 1s) &&
           Access::testPatternTimer(*h.service) != nullptr;
  }
  ServiceHarness h;
};

TEST_F(StreamStart, WindowFoundStartsAWindowStreamConfiguredForCapture) {
  startWith(windowConfig(42));
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  auto stream = h.capture->lastStream();
  ASSERT_TRUE(stream);
  EXPECT_EQ(Access::stream(*h.service), stream);
  EXPECT_EQ(stream->filter().kind(), ContentFilter::Kind::desktopIndependentWindow);
  EXPECT_EQ(stream->filter().window().windowID, 42u);
  const auto& config = stream->configuration();
  EXPECT_EQ(config.width(), 1280);
  EXPECT_EQ(config.height(), 720);
  EXPECT_EQ(config.minimumFrameInterval().value, 1);
  EXPECT_EQ(config.minimumFrameInterval().timescale, 30);
  EXPECT_EQ(config.pixelFormat(), 0x42475241u);
  EXPECT_FALSE(config.showsCursor());
  EXPECT_FALSE(config.sourceRect().has_value());
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), std::vector<bool>{false});
}

TEST_F(StreamStart, UntitledWindowIsDescribedAsUntitled) {
  startWith(windowConfig(43));
  EXPECT_TRUE(h.log.waitFor("SCStream started — window id=43 title=<untitled>", 1s));
}

TEST_F(StreamStart, OffScreenWindowIsStillFound) {
  startWith(windowConfig(44));
  EXPECT_TRUE(h.log.waitFor("SCStream started — window id=44 title=Minimised", 1s));
}

TEST_F(StreamStart, MissingWindowFallsBackToThePattern) {
  startWith(windowConfig(99));
  EXPECT_TRUE(h.log.containsError(
      "startStreamAsync: window id=99 not in SCShareableContent; window may have closed. "
      "Falling back to test pattern."));
  EXPECT_TRUE(fellBack());
  EXPECT_EQ(h.capture->lastStream(), nullptr);
}

TEST_F(StreamStart, WindowModeWithoutIdFallsBack) {
  startWith(windowConfig(std::nullopt));
  EXPECT_TRUE(h.log.containsError(
      "startStreamAsync: window mode without window_id; falling back to test pattern"));
  EXPECT_TRUE(fellBack());
}

TEST_F(StreamStart, CapitalisedRegionIsWindowMode) {
  PiPSentinelConfig config = regionConfig(0, 0, 800, 600, 1);
  config.source = "Region";
  startWith(config);
  EXPECT_TRUE(h.log.containsError(
      "startStreamAsync: window mode without window_id; falling back to test pattern"));
}

TEST_F(StreamStart, RegionWithoutDimensionsFallsBack) {
  for (auto [w, hgt] : {std::pair{0, 600}, std::pair{800, 0}, std::pair{-5, 600}}) {
    h.log.clear();
    startWith(regionConfig(0, 0, w, hgt, 1));
    EXPECT_TRUE(h.log.containsError(
        "startStreamAsync: region mode without dimensions; falling back to test pattern"))
        << w << "x" << hgt;
    EXPECT_TRUE(fellBack());
  }
  EXPECT_EQ(h.capture->lastStream(), nullptr);
}

TEST_F(StreamStart, RegionCapturesTheConfiguredDisplayWithCursorAndSourceRect) {
  startWith(regionConfig(10, 20, 800, 600, 1));
  ASSERT_TRUE(h.log.waitFor("SCStream started — region 800×600 at (10,20) on display 1", 1s));
  auto stream = h.capture->lastStream();
  EXPECT_EQ(stream->filter().kind(), ContentFilter::Kind::display);
  EXPECT_EQ(stream->filter().display().displayID, 1u);
  EXPECT_TRUE(stream->configuration().showsCursor());
  ASSERT_TRUE(stream->configuration().sourceRect().has_value());
  auto rect = *stream->configuration().sourceRect();
  EXPECT_EQ(rect.x, 10);
  EXPECT_EQ(rect.y, 20);
  EXPECT_EQ(rect.width, 800);
  EXPECT_EQ(rect.height, 600);
}

TEST_F(StreamStart, NegativeOriginIsPassedAsItIs) {
  startWith(regionConfig(-30, -4, 100, 50, 1));
  EXPECT_TRUE(h.log.waitFor("SCStream started — region 100×50 at (-30,-4) on display 1", 1s));
  EXPECT_EQ(h.capture->lastStream()->configuration().sourceRect()->x, -30);
}

TEST_F(StreamStart, DisplayZeroOrDetachedTakesTheMainDisplay) {
  startWith(regionConfig(0, 0, 640, 360, 0));
  EXPECT_TRUE(h.log.waitFor("SCStream started — region 640×360 at (0,0) on display 2", 1s));
  startWith(regionConfig(0, 0, 640, 360, 77));
  EXPECT_TRUE(h.log.waitFor("SCStream started — region 640×360 at (0,0) on display 2", 1s));
}

TEST_F(StreamStart, NoMainDisplayInTheListTakesTheFirst) {
  h.capture->setMainDisplayID(9);
  startWith(regionConfig(0, 0, 640, 360, 77));
  EXPECT_TRUE(h.log.waitFor("SCStream started — region 640×360 at (0,0) on display 1", 1s));
}

TEST_F(StreamStart, NoDisplayAtAllFallsBack) {
  h.capture->setContent(ShareableContent{});
  startWith(regionConfig(0, 0, 640, 360, 1));
  EXPECT_TRUE(
      h.log.containsError("startStreamAsync: no display available for region capture"));
  EXPECT_TRUE(fellBack());
}

TEST_F(StreamStart, QueryFailureFallsBack) {
  h.capture->failQueries(CaptureError{"the display server went away"});
  startWith(windowConfig(42));
  EXPECT_TRUE(h.log.containsError("SCShareableContent failed: the display server went away"));
  EXPECT_TRUE(fellBack());
}

TEST_F(StreamStart, OutputRegistrationFailureKeepsTheOldStreamAndStartsThePattern) {
  startWith(windowConfig(42));
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  auto held = Access::stream(*h.service);
  h.capture->failNextAddOutput(CaptureError{"no more outputs"});
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCStream start failed: no more outputs"));
  EXPECT_TRUE(fellBack());
  EXPECT_EQ(Access::stream(*h.service), held);
  EXPECT_EQ(h.capture->starts(), 1);
}

TEST_F(StreamStart, StartFailureKeepsTheOldStreamAndStartsThePattern) {
  startWith(windowConfig(42));
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  auto held = Access::stream(*h.service);
  h.capture->failNextStart(CaptureError{"permission denied"});
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCStream start failed: permission denied"));
  EXPECT_TRUE(fellBack());
  EXPECT_EQ(Access::stream(*h.service), held);
}

TEST_F(StreamStart, SuccessCancelsTheRunningPattern) {
  h.adopt(windowConfig(42));
  Access::startTestPatternTimer(*h.service);
  auto pattern = Access::testPatternTimer(*h.service);
  ASSERT_TRUE(pattern);
  Access::startStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  EXPECT_TRUE(pattern->isCancelled());
  EXPECT_EQ(Access::testPatternTimer(*h.service), nullptr);
}

TEST_F(StreamStart, UsesTheConfigStoredWhileTheQueryWaited) {
  h.adopt(windowConfig(42));
  h.capture->holdQueries(true);
  std::thread starter([&] { Access::startStream(h.service); });
  while (h.capture->heldQueries() == 0) std::this_thread::sleep_for(1ms);
  Access::setCurrentConfig(*h.service, windowConfig(43));
  h.capture->holdQueries(false);
  h.capture->releaseQueries();
  starter.join();
  EXPECT_TRUE(h.log.waitFor("SCStream started — window id=43 title=<untitled>", 1s));
}

TEST(StreamStartLifetime, ServiceGoneBeforeTheSuccessBlockStoresAndLogsNothing) {
  log::CapturedLog log;
  auto capture = std::make_shared<FakeScreenCapture>();
  capture->setContent(sampleContent());
  std::atomic<int> invalidations{0};
  auto service = FenwrightService::create(
      capture, std::make_unique<PiPFrameBuffer>(), [](int) {},
      [&](std::string_view) { return std::make_unique<FakeListener>(invalidations); });
  Access::setCurrentConfig(*service, windowConfig(42));
  capture->holdStarts(true);
  std::thread starter([&] { Access::startStream(service); });
  while (capture->heldStarts() == 0) std::this_thread::sleep_for(1ms);

  // Keep `queue` busy so the success block can run only after the service
  // has lost its last owner.
  std::promise<void> release;
  Access::queueAsync(*service, [gate = release.get_future().share()] { gate.wait(); });
  capture->releaseStarts();
  starter.join();
  std::thread releaser([&] {
    std::this_thread::sleep_for(50ms);
    release.set_value();
  });
  std::weak_ptr<FenwrightService> weak = service;
  service.reset();
  releaser.join();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(log.contains("SCStream started — window id=42 title=Notes"));
}

}  // namespace
}  // namespace fenwright
