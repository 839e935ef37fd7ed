#include <gtest/gtest.h>

#include "service_harness.h"

namespace fenwright {
namespace {

class VisibilityWatcher : public ::testing::Test {
 protected:
  void setOnScreen(bool onScreen) {
    auto content = sampleContent();
    content.windows[0].isOnScreen = onScreen;
    h.capture->setContent(content);
  }
  ServiceHarness h;
};

TEST_F(VisibilityWatcher, HiddenWindowPausesAndResumesWhenBack) {
  h.adopt(windowConfig(42));
  setOnScreen(false);
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(
      h.log.waitFor("visibility: window 42 hidden/minimized → pause (freeze last frame)", 1s));
  EXPECT_TRUE(Access::paused(*h.service));
  setOnScreen(true);
  Access::checkVisibility(*h.service);
  ASSERT_TRUE(h.log.waitFor("visibility: window 42 returned → resume", 1s));
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(h.capture->queriedOnScreenOnly(), (std::vector<bool>{false, false}));
}

TEST_F(VisibilityWatcher, LeavingWindowModeUnpausesOnceWithoutAQuery) {
  h.adopt(regionConfig(0, 0, 10, 10, 1));
  Access::setPaused(*h.service, true);
  Access::checkVisibility(*h.service);
  Access::checkVisibility(*h.service);
  EXPECT_FALSE(Access::paused(*h.service));
  EXPECT_EQ(h.log.texts(),
            std::vector<std::string>{"visibility: not in window mode (source=region); unpaused"});
  EXPECT_EQ(h.capture->queries(), 0);
}

// Nothing marks a check whose query failed, so this waits a little; a
// wrong answer shows as a line or a changed flag.
TEST_F(VisibilityWatcher, QueryFailureLeavesPausedAsItWas) {
  h.adopt(windowConfig(42));
  h.capture->failQueries(CaptureError{"no server"});
  Access::setPaused(*h.service, true);
  Access::checkVisibility(*h.service);
  std::this_thread::sleep_for(20ms);
  Access::onQueue(*h.service, [] {});
  EXPECT_TRUE(Access::paused(*h.service));
  EXPECT_TRUE(h.log.lines().empty());
}

}  // namespace
}  // namespace fenwright
