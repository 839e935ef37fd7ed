// The service's startups failing, and stopping a stream. (Shutting down
// while a window streams, exiting 0 once: the soak, XServerKilled.)

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
