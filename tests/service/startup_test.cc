#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

constexpr const char* kListening =
    "listening on Mach service: Q2WXR7TZ4M.com.quenfield.app.pipmode";

TEST(Startup, ListenerOnlyStartsNothingButTheListener) {
  ServiceHarness h;
  h.service->startListenerOnly();
  EXPECT_EQ(h.listenersMade.load(), 1);
  EXPECT_NE(Access::frameBuffer(*h.service).surface(), nullptr);
  EXPECT_FALSE(Access::hasTimers(*h.service));
  EXPECT_TRUE(h.log.contains(kListening));
  EXPECT_EQ(Access::currentConfig(*h.service), PiPSentinelConfig{});
}

TEST(Startup, AllocationFailureOrNoListenerExitsOne) {
  for (bool full : {true, false}) {
    ServiceHarness h([]() -> Expected<SharedSurface> { return unexpected(std::string("no memory")); });
    full ? h.service->startFull(windowConfig(42)) : h.service->startListenerOnly();
    EXPECT_EQ(h.exitStatus.load(), 1);
    EXPECT_EQ(h.listenersMade.load(), 0);
    EXPECT_TRUE(h.log.containsError("frame buffer allocation failed — exiting"));
  }
  ServiceHarness h;
  h.failListener = true;
  h.service->startFull(windowConfig(std::nullopt));
  EXPECT_EQ(h.exitStatus.load(), 1);
  EXPECT_TRUE(h.log.containsError("no listener — exiting"));
  EXPECT_FALSE(h.log.contains(kListening));
}

TEST(SurfaceVending, AcceptConfiguresTheConnectionAndItsEndShutsDown) {
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

TEST(SurfaceVending, NilBeforeAllocationThenTheSameSurfaceEveryTime) {
  ServiceHarness h;
  std::vector<const SharedSurface*> vended;
  auto fetch = [&] { h.service->fetchSurface([&](auto* surface) { vended.push_back(surface); }); };
  fetch();
  EXPECT_TRUE(h.log.contains("fetchSurface: surface not yet allocated; returning nil"));
  h.service->startListenerOnly();
  fetch();
  fetch();
  ASSERT_EQ(vended.size(), 3u);
  EXPECT_EQ(vended[0], nullptr);
  EXPECT_NE(vended[1], nullptr);
  EXPECT_EQ(vended[1], vended[2]);
  EXPECT_EQ(h.log.count("fetchSurface: vending IOSurface to extension"), 2u);
}

}  // namespace
}  // namespace fenwright
