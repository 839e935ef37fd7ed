#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

// From a connection's queue, as a client going away calls it.
TEST(Shutdown, FromAnotherThreadInvalidatesTheListenerAndExitsZeroOnce) {
  ServiceHarness h;
  h.service->startListenerOnly();
  std::thread other([&] { Access::shutdownAndExit(*h.service); });
  other.join();
  ASSERT_TRUE(h.waitForExit());
  EXPECT_EQ(h.exitStatus.load(), 0);
  EXPECT_EQ(h.exits.load(), 1);
  EXPECT_EQ(h.invalidations.load(), 1);
  EXPECT_TRUE(h.log.contains("shutdown — invalidating listener + exit"));
  EXPECT_EQ(h.capture->stops(), 0);
}

TEST(Shutdown, FullStartupListensThenShowsThePatternAndShutdownCancelsEveryTimer) {
  ServiceHarness h;
  h.home.write(R"({"enabled":true})");
  h.service->startFull(windowConfig(std::nullopt));
  auto pattern = Access::testPatternTimer(*h.service);
  ASSERT_TRUE(pattern);
  auto texts = h.log.texts();
  EXPECT_LT(std::find(texts.begin(), texts.end(),
                      "listening on Mach service: Q2WXR7TZ4M.com.quenfield.app.pipmode"),
            std::find(texts.begin(), texts.end(),
                      "test-pattern render timer started @ 30Hz (no window picked)"));
  Access::shutdownAndExit(*h.service);
  ASSERT_TRUE(h.waitForExit());
  EXPECT_EQ(h.exitStatus.load(), 0);
  EXPECT_TRUE(pattern->isCancelled());
  EXPECT_FALSE(Access::hasTimers(*h.service));
  EXPECT_EQ(h.invalidations.load(), 1);
}

TEST(Shutdown, WithAStreamLaunchesItsStop) {
  ServiceHarness h;
  h.capture->setContent(sampleContent());
  h.adopt(windowConfig(42));
  Access::startStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  Access::shutdownAndExit(*h.service);
  ASSERT_TRUE(h.waitForExit());
  EXPECT_TRUE(h.log.waitFor("SCStream stopped", 1s));
  EXPECT_EQ(h.capture->stops(), 1);
}

TEST(StopStream, WithoutAStreamReturnsSilently) {
  ServiceHarness h;
  Access::stopStream(h.service);
  Access::onQueue(*h.service, [] {});
  EXPECT_TRUE(h.log.lines().empty());
  EXPECT_EQ(h.capture->stops(), 0);
}

// The surface keeps the last frame: only a new stream or the pattern
// draws over it.
TEST(StopStream, FailingStopIsLoggedAndTheStreamClearedWithTheLastFrameKept) {
  ServiceHarness h;
  h.capture->setContent(sampleContent());
  h.adopt(windowConfig(42));
  Access::startStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  std::vector<std::uint8_t> green(1280 * 720 * 4, 0);
  for (std::size_t i = 1; i < green.size(); i += 4) green[i] = 200, green[i + 2] = 255;
  h.capture->lastStream()->deliver(
      SampleBuffer::frame(ImageView{1280, 720, 5120, green.data()}, FrameStatus::complete));
  h.capture->failNextStop(CaptureError{"the stream was already gone"});
  Access::stopStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream stopped", 1s));
  auto texts = h.log.texts();
  auto failed =
      std::find(texts.begin(), texts.end(), "stopCapture failed: the stream was already gone");
  ASSERT_NE(failed, texts.end());
  EXPECT_LT(failed, std::find(texts.begin(), texts.end(), "SCStream stopped"));
  EXPECT_EQ(Access::stream(*h.service), nullptr);
  const std::uint8_t* centre =
      Access::frameBuffer(*h.service).surface()->baseAddress() + 180 * 2560 + 320 * 4;
  EXPECT_EQ(centre[1], 200);
}

}  // namespace
}  // namespace fenwright
