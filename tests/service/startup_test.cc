#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

TEST(Startup, ListenerOnlyStartsNothingButTheListener) {
  ServiceHarness h;
  h.service->startListenerOnly();
  EXPECT_EQ(h.listenersMade.load(), 1);
  EXPECT_EQ(h.listenerName, "Q2WXR7TZ4M.com.quenfield.app.pipmode");
  EXPECT_NE(Access::frameBuffer(*h.service).surface(), nullptr);
  EXPECT_FALSE(Access::hasTimers(*h.service));
  EXPECT_TRUE(h.log.contains("listening on Mach service: Q2WXR7TZ4M.com.quenfield.app.pipmode"));
  EXPECT_EQ(Access::currentConfig(*h.service), PiPSentinelConfig{});
}

TEST(Startup, FullWithAPickStartsTheStream) {
  ServiceHarness h;
  h.capture->setContent(sampleContent());
  h.home.write(R"({"enabled":true,"window_id":42})");
  h.service->startFull(windowConfig(42));
  EXPECT_TRUE(h.log.waitFor("SCStream started — window id=42 title=Notes", 1s));
}

TEST(Startup, AllocationFailureExitsOneBeforeAnyListener) {
  ServiceHarness h([]() -> Expected<SharedSurface> { return unexpected(std::string("no memory")); });
  h.service->startFull(windowConfig(42));
  EXPECT_EQ(h.exitStatus.load(), 1);
  EXPECT_EQ(h.listenersMade.load(), 0);
  EXPECT_TRUE(h.log.containsError("frame buffer allocation failed — exiting"));

  ServiceHarness listenerOnly([]() -> Expected<SharedSurface> { return unexpected(std::string("no memory")); });
  listenerOnly.service->startListenerOnly();
  EXPECT_EQ(listenerOnly.exitStatus.load(), 1);
  EXPECT_EQ(listenerOnly.listenersMade.load(), 0);
}

TEST(Startup, NoListenerExitsOneWithoutClaimingToListen) {
  ServiceHarness h;
  h.failListener = true;
  h.service->startFull(windowConfig(std::nullopt));
  EXPECT_EQ(h.exitStatus.load(), 1);
  EXPECT_TRUE(h.log.containsError("no listener — exiting"));
  EXPECT_FALSE(h.log.contains("listening on Mach service: Q2WXR7TZ4M.com.quenfield.app.pipmode"));
}

TEST(SurfaceVending, AcceptConfiguresTheConnectionAndLogsThePid) {
  ServiceHarness h;
  h.service->startListenerOnly();
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

TEST(SurfaceVending, FetchGivesTheSameSurfaceEveryTime) {
  ServiceHarness h;
  h.service->startListenerOnly();
  const SharedSurface* first = nullptr;
  const SharedSurface* second = nullptr;
  h.service->fetchSurface([&](const SharedSurface* s) { first = s; });
  h.service->fetchSurface([&](const SharedSurface* s) { second = s; });
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(h.log.count("fetchSurface: vending IOSurface to extension"), 2u);
}

TEST(SurfaceVending, NoSurfaceRepliesNil) {
  ServiceHarness h;
  bool called = false;
  h.service->fetchSurface([&](const SharedSurface* s) {
    called = true;
    EXPECT_EQ(s, nullptr);
  });
  EXPECT_TRUE(called);
  EXPECT_TRUE(h.log.contains("fetchSurface: surface not yet allocated; returning nil"));
}

}  // namespace
}  // namespace fenwright
