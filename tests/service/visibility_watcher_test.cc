#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

class VisibilityWatcher : public ::testing::Test {
 protected:
  void check() {
    Access::checkVisibility(*h.service);
    // The query task hands its answer back to `queue`; let it land.
    std::this_thread::sleep_for(20ms);
    Access::onQueue(*h.service, [] {});
  }
  void setOnScreen(std::uint32_t id, bool onScreen) {
    auto content = sampleContent();
    for (auto& w : content.windows)
      if (w.windowID == id) w.isOnScreen = onScreen;
    h.capture->setContent(content);
  }
  ServiceHarness h;
};

TEST_F(VisibilityWatcher, HiddenWindowPausesOnceAndResumesWhenBack) {
  h.adopt(windowConfig(42));
  setOnScreen(42, false);
  check();
  EXPECT_TRUE(Access::paused(*h.service));
  EXPECT_EQ(h.log.count("visibility: window 42 hidden/minimized → pause (freeze last frame)"), 1u);
  check();
  EXPECT_EQ(h.log.count("visibility: window 42 hidden/minimized → pause (freeze last frame)"), 1u);
  setOnScreen(42, true);
  check();
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(h.log.count("visibility: window 42 returned → resume"), 1u);
  check();
  EXPECT_EQ(h.log.lines().size(), 2u);
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), (std::vector<bool>{false, false, false, false}));
}

TEST_F(VisibilityWatcher, ClosedWindowCountsAsHidden) {
  h.adopt(windowConfig(77));
  h.capture->setContent(sampleContent());
  check();
  EXPECT_TRUE(Access::paused(*h.service));
  EXPECT_TRUE(h.log.contains("visibility: window 77 hidden/minimized → pause (freeze last frame)"));
}

TEST_F(VisibilityWatcher, LeavingWindowModeUnpausesOnce) {
  h.adopt(regionConfig(0, 0, 10, 10, 1));
  Access::setPaused(*h.service, true);
  check();
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(h.log.count("visibility: not in window mode (source=region); unpaused"), 1u);
  check();
  EXPECT_EQ(h.log.lines().size(), 1u);
  EXPECT_EQ(h.capture->queries(), 0);
}

TEST_F(VisibilityWatcher, NoWindowPickedIsNotWindowMode) {
  h.adopt(windowConfig(std::nullopt));
  Access::setPaused(*h.service, true);
  check();
  EXPECT_TRUE(h.log.contains("visibility: not in window mode (source=window); unpaused"));
}

TEST_F(VisibilityWatcher, QueryFailureLeavesPausedAsItWas) {
  h.adopt(windowConfig(42));
  h.capture->failQueries(CaptureError{"no server"});
  Access::setPaused(*h.service, true);
  check();
  EXPECT_TRUE(Access::paused(*h.service));
  EXPECT_TRUE(h.log.lines().empty());
}

}  // namespace
}  // namespace fenwright
