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

TEST_F(StreamStart, PlannedWindowStreamIsStartedStoredAndLogged) {
  startWith(windowConfig(42));
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  auto stream = h.capture->lastStream();
  EXPECT_EQ(Access::stream(*h.service), stream);
  EXPECT_EQ(stream->filter().window().windowID, 42u);
  EXPECT_EQ(stream->configuration().width(), 1280);
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), std::vector<bool>{false});
}

TEST_F(StreamStart, RegionAsksForTheMainDisplay) {
  startWith(regionConfig(0, 0, 640, 360, 0));
  EXPECT_TRUE(h.log.waitFor("SCStream started — region 640×360 at (0,0) on display 2", 1s));
}

TEST_F(StreamStart, QueryFailureOrNoPlanLogsWhyAndFallsBack) {
  h.capture->failQueries(CaptureError{"the display server went away"});
  startWith(windowConfig(42));
  EXPECT_TRUE(h.log.containsError("SCShareableContent failed: the display server went away"));
  EXPECT_TRUE(fellBack());
  h.capture->failQueries(std::nullopt);
  startWith(windowConfig(99));
  EXPECT_TRUE(
      h.log.containsError("startStreamAsync: window id=99 not in "
                          "SCShareableContent; window may have closed. "
                          "Falling back to test pattern."));
  EXPECT_TRUE(fellBack());
  EXPECT_EQ(h.capture->lastStream(), nullptr);
}

TEST_F(StreamStart, OutputOrStartFailureKeepsTheOldStreamAndStartsThePattern) {
  startWith(windowConfig(42));
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  auto held = Access::stream(*h.service);
  h.capture->failNextAddOutput(CaptureError{"no more outputs"});
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCStream start failed: no more outputs"));
  EXPECT_TRUE(fellBack());
  EXPECT_EQ(h.capture->starts(), 1);
  h.capture->failNextStart(CaptureError{"permission denied"});
  Access::startStream(h.service);
  EXPECT_TRUE(h.log.containsError("SCStream start failed: permission denied"));
  EXPECT_EQ(Access::stream(*h.service), held);
}

TEST_F(StreamStart, UsesTheConfigStoredWhileTheQueryWaited) {
  h.adopt(windowConfig(42));
  h.capture->holdQueries(true);
  std::thread starter([&] { Access::startStream(h.service); });
  ASSERT_TRUE(testing::eventually([&] { return h.capture->heldQueries() > 0; }));
  Access::setCurrentConfig(*h.service, windowConfig(43));
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
  ASSERT_TRUE(testing::eventually([&] { return capture->heldStarts() > 0; }));
  // Keep `queue` busy so the success block can run only after the service
  // has lost its last owner.
  std::promise<void> release;
  Access::queueAsync(*service, [gate = release.get_future().share()] { gate.wait(); });
  capture->releaseStarts();
  starter.join();
  std::weak_ptr<FenwrightService> weak = service;
  std::thread releaser([&] {
    EXPECT_TRUE(testing::eventually([&] { return weak.expired(); }));
    release.set_value();
  });
  service.reset();
  releaser.join();
  EXPECT_TRUE(weak.expired());
  EXPECT_FALSE(log.contains("SCStream started — window id=42 title=Notes"));
}

}  // namespace
}  // namespace fenwright
