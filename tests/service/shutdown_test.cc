#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

// Full startup listens before it draws; shutdown cancels every timer and
// stops a running stream.
TEST(Shutdown, AfterFullStartupCancelsEveryTimerAndStopsTheStream) {
  for (bool picked : {false, true}) {
    ServiceHarness h;
    h.capture->setContent(sampleContent());
    h.home.write(picked ? R"({"enabled":true,"window_id":42})" : R"({"enabled":true})");
    h.service->startFull(windowConfig(picked ? std::optional<std::uint32_t>(42) : std::nullopt));
    auto pattern = Access::testPatternTimer(*h.service);
    if (picked) {
      ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
    } else {
      ASSERT_TRUE(pattern);
      auto texts = h.log.texts();
      EXPECT_LT(std::find(texts.begin(), texts.end(),
                          "listening on Mach service: Q2WXR7TZ4M.com.quenfield.app.pipmode"),
                std::find(texts.begin(), texts.end(),
                          "test-pattern render timer started @ 30Hz (no window picked)"));
    }
    Access::shutdownAndExit(*h.service);
    ASSERT_TRUE(h.waitForExit());
    EXPECT_EQ(h.exitStatus.load(), 0);
    EXPECT_EQ(h.exits.load(), 1);
    EXPECT_TRUE(h.log.contains("shutdown — invalidating listener + exit"));
    EXPECT_TRUE(!pattern || pattern->isCancelled());
    EXPECT_FALSE(Access::hasTimers(*h.service));
    EXPECT_EQ(h.invalidations.load(), 1);
    EXPECT_EQ(h.log.waitFor("SCStream stopped", picked ? 1s : 0s), picked);
    EXPECT_EQ(h.capture->stops(), picked ? 1 : 0);
  }
}

// The surface keeps the last frame: only a new stream or the pattern
// draws over it. With no stream, a stop is silent.
TEST(StopStream, FailingStopIsLoggedAndTheStreamClearedWithTheLastFrameKept) {
  ServiceHarness h;
  Access::stopStream(h.service);
  Access::onQueue(*h.service, [] {});
  EXPECT_TRUE(h.log.lines().empty());
  h.capture->setContent(sampleContent());
  h.streaming(windowConfig(42), "SCStream started — window id=42 title=Notes");
  auto green = solidFrame(0, 200, 255);
  h.capture->lastStream()->deliver(completeFrame(green));
  h.capture->failNextStop(CaptureError{"the stream was already gone"});
  Access::stopStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream stopped", 1s));
  auto texts = h.log.texts();
  auto failed =
      std::find(texts.begin(), texts.end(), "stopCapture failed: the stream was already gone");
  ASSERT_NE(failed, texts.end());
  EXPECT_LT(failed, std::find(texts.begin(), texts.end(), "SCStream stopped"));
  EXPECT_EQ(Access::stream(*h.service), nullptr);
  EXPECT_EQ(h.capture->stops(), 1);
  EXPECT_EQ(centre(*h.service)[1], 200);
}

}  // namespace
}  // namespace fenwright
