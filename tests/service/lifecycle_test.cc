// The service's two startups, its surface vending and its one way out.

#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

constexpr const char* kListening =
    "listening on Mach service: Q2WXR7TZ4M.com.quenfield.app.pipmode";
constexpr const char* kPattern = "test-pattern render timer started @ 30Hz (no window picked)";

bool loggedBefore(const log::CapturedLog& log, const std::string& first, const std::string& then) {
  auto texts = log.texts();
  auto at = std::find(texts.begin(), texts.end(), first);
  return at != texts.end() && at < std::find(texts.begin(), texts.end(), then);
}

// Listener-only starts the listener and nothing else; without a surface
// or a listener, either startup exits 1.
TEST(Startup, ListenerOnlyStartsNothingButTheListenerAndFailuresExitOne) {
  ServiceHarness h;
  h.service->startListenerOnly();
  EXPECT_EQ(h.listenersMade.load(), 1);
  EXPECT_NE(Access::frameBuffer(*h.service).surface(), nullptr);
  EXPECT_FALSE(Access::hasTimers(*h.service));
  EXPECT_TRUE(h.log.contains(kListening));
  EXPECT_EQ(Access::currentConfig(*h.service), PiPSentinelConfig{});
  EXPECT_EQ(h.exits.load(), 0);
  for (bool full : {true, false}) {
    ServiceHarness h([]() -> Expected<SharedSurface> { return unexpected(std::string("no memory")); });
    full ? h.service->startFull(windowConfig(42)) : h.service->startListenerOnly();
    EXPECT_EQ(h.exitStatus.load(), 1);
    EXPECT_EQ(h.listenersMade.load(), 0);
    EXPECT_TRUE(h.log.containsError("frame buffer allocation failed — exiting"));
  }
  ServiceHarness noListener;
  noListener.failListener = true;
  noListener.service->startFull(windowConfig(std::nullopt));
  EXPECT_EQ(noListener.exitStatus.load(), 1);
  EXPECT_TRUE(noListener.log.containsError("no listener — exiting"));
  EXPECT_FALSE(noListener.log.contains(kListening));
}

// Nil before the surface exists, then the same surface every time; every
// connection is accepted and configured, and its end shuts the service down.
TEST(SurfaceVending, EveryConnectionGetsTheOneSurfaceAndItsEndShutsDown) {
  ServiceHarness h;
  std::vector<const SharedSurface*> vended;
  auto fetch = [&] { h.service->fetchSurface([&](auto* surface) { vended.push_back(surface); }); };
  fetch();
  EXPECT_TRUE(h.log.contains("fetchSurface: surface not yet allocated; returning nil"));
  h.service->startListenerOnly();
  fetch();
  fetch();
  EXPECT_EQ(vended, (std::vector<const SharedSurface*>{nullptr, vended[1], vended[1]}));
  EXPECT_NE(vended[1], nullptr);
  EXPECT_EQ(h.log.count("fetchSurface: vending IOSurface to extension"), 2u);

  FakeConnection connection(4242);
  EXPECT_TRUE(h.service->listenerShouldAcceptNewConnection(*h.lastListener, connection));
  EXPECT_TRUE(h.log.contains("accepting XPC connection from pid=4242"));
  EXPECT_TRUE(connection.resumed);
  EXPECT_EQ(connection.exported.lock().get(), static_cast<PiPSurfaceProtocol*>(h.service.get()));
  connection.interrupted();
  EXPECT_TRUE(h.log.contains("XPC connection interrupted"));
  EXPECT_EQ(h.exits.load(), 0);
  connection.invalidated();
  ASSERT_TRUE(h.waitForExit());
  EXPECT_EQ(h.exitStatus.load(), 0);
  EXPECT_TRUE(h.log.contains("XPC connection invalidated — extension disconnected; shutting down"));
}

// Full startup listens before it draws; shutdown cancels every timer,
// stops a running stream and exits 0, once.
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
      EXPECT_TRUE(loggedBefore(h.log, kListening, kPattern));
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
  EXPECT_TRUE(loggedBefore(h.log, "stopCapture failed: the stream was already gone",
                           "SCStream stopped"));
  EXPECT_EQ(Access::stream(*h.service), nullptr);
  EXPECT_EQ(h.capture->stops(), 1);
  EXPECT_EQ(centre(*h.service)[1], 200);
}

}  // namespace
}  // namespace fenwright
