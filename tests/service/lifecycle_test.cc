// The service's startups failing. (Stopping a stream: SampleIntake;
// shutting down while a window streams, exiting 0 once: the soak,
// XServerKilled.)

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

}  // namespace
}  // namespace fenwright
