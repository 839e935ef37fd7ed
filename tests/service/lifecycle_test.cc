// The service's startups failing, its one way out, and stopping a stream.

#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

// Without a surface or a listener, either startup exits 1. (What starts:
// tests/process, Lifecycle.)
TEST(Startup, WithoutASurfaceOrAListenerEitherStartupExitsOne) {
  for (bool full : {true, false}) {
    ServiceHarness h([]() -> Expected<SharedSurface> { return unexpected(std::string("no memory")); });
    full ? h.service->startFull(windowConfig(42)) : h.service->startListenerOnly();
    EXPECT_EQ(h.exitStatus.load(), 1);
    EXPECT_EQ(h.listenersMade.load(), 0);
    for (auto line : {"shared surface: no memory", "IOSurfaceCreate failed",
                      "frame buffer allocation failed — exiting"})
      EXPECT_TRUE(h.log.containsError(line)) << line;
  }
  ServiceHarness noListener;
  noListener.failListener = true;
  noListener.service->startFull(windowConfig(std::nullopt));
  EXPECT_EQ(noListener.exitStatus.load(), 1);
  EXPECT_TRUE(noListener.log.containsError("no listener — exiting"));
  EXPECT_FALSE(noListener.log.contains("listening on Mach service: "
                                       "Q2WXR7TZ4M.com.quenfield.app.pipmode"));
}

// Shutdown stops a running stream, cancels every timer and exits 0, once.
// (From the pattern, in the real helper: tests/process, Lifecycle.)
TEST(Shutdown, StopsTheStreamAndCancelsEveryTimer) {
  ServiceHarness h;
  h.capture->setContent(sampleContent());
  h.home.write(R"({"enabled":true,"window_id":42})");
  h.service->startFull(windowConfig(42));
  ASSERT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
  Access::shutdownAndExit(*h.service);
  ASSERT_TRUE(h.waitForExit());
  EXPECT_EQ(h.exitStatus.load(), 0);
  EXPECT_EQ(h.exits.load(), 1);
  EXPECT_FALSE(Access::hasTimers(*h.service));
  EXPECT_EQ(h.invalidations.load(), 1);
  EXPECT_TRUE(h.log.waitFor("SCStream stopped", 1s));
  EXPECT_EQ(h.capture->stops(), 1);
}

// The surface keeps the last frame: only a new stream or the pattern
// draws over it.
TEST(StopStream, FailingStopIsLoggedAndTheStreamClearedWithTheLastFrameKept) {
  ServiceHarness h;
  h.capture->setContent(sampleContent());
  h.streaming(windowConfig(42), "SCStream started — window id=42 title=Notes");
  auto green = solidFrame(0, 200, 255);
  h.capture->lastStream()->deliver(completeFrame(green));
  h.capture->failNextStop(CaptureError{"the stream was already gone"});
  Access::stopStream(h.service);
  ASSERT_TRUE(h.log.waitFor("SCStream stopped", 1s));
  EXPECT_TRUE(h.log.containsError("stopCapture failed: the stream was already gone"));
  EXPECT_EQ(Access::stream(*h.service), nullptr);
  EXPECT_EQ(h.capture->stops(), 1);
  EXPECT_EQ(centre(*h.service)[1], 200);
}

}  // namespace
}  // namespace fenwright
